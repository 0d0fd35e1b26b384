/*
 * tavtest_install: creates and removes the root-enumerated devices that
 * tavtest.sys serves, the way a device installer does it.
 *
 *   tavtest_install install N   make devices ROOT\TAVTEST\0000 .. N-1 present:
 *                               create the missing device nodes, install
 *                               tavtest.inf (beside this program) on them,
 *                               then wait until N interfaces of the
 *                               instrument's class are present
 *   tavtest_install remove      remove every ROOT\TAVTEST device and wait
 *                               until no interface of the class is present
 *   tavtest_install list        print the present interfaces in enumeration
 *                               order
 *
 * Each command prints what it did and exits 0 on success.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: the device setup headers rely on it.
#include <newdev.h>
#include <setupapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const GUID kInterfaceClass = {
    0x016A5B0D, 0x4331, 0x4C56, {0x88, 0x25, 0x6E, 0xC4, 0xC8, 0x70, 0xD3, 0xCB}};
/* The system device class, as the INF names it. */
static const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
static const char kHardwareId[] = "ROOT\\TAVTEST";
#define MAX_DEVICES 4
#define WAIT_MS 30000
#define POLL_MS 50

/* Owns a device information set. */
typedef struct {
    HDEVINFO set;
} DeviceList;

static void release_list(DeviceList *list) {
    if (list->set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(list->set);
    list->set = INVALID_HANDLE_VALUE;
}

/* Prints the present interfaces (when `print`) and returns their number, or
 * -1 when the list cannot be made. */
static int present_interfaces(int print) {
    DeviceList list = {SetupDiGetClassDevsA(&kInterfaceClass, NULL, NULL,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)};
    if (list.set == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    while (SetupDiEnumDeviceInterfaces(list.set, NULL, &kInterfaceClass, (DWORD)count, &data)) {
        if (print) {
            union {
                SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
                char bytes[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + MAX_PATH];
            } buffer;
            buffer.detail.cbSize = sizeof buffer.detail;
            if (SetupDiGetDeviceInterfaceDetailA(list.set, &data, &buffer.detail, sizeof buffer,
                                                 NULL, NULL))
                printf("interface %d: %s\n", count, buffer.detail.DevicePath);
            else
                printf("interface %d: (no path, error %lu)\n", count, GetLastError());
        }
        ++count;
    }
    release_list(&list);
    return count;
}

static int wait_for_interfaces(int wanted) {
    int count = -1;
    for (int waited = 0; waited <= WAIT_MS; waited += POLL_MS) {
        count = present_interfaces(0);
        if (count == wanted) return 1;
        Sleep(POLL_MS);
    }
    fprintf(stderr, "waited %d ms for %d interfaces, %d present\n", WAIT_MS, wanted, count);
    return 0;
}

static void instance_id(int n, char *id, size_t size) {
    snprintf(id, size, "%s\\%04d", kHardwareId, n);
}

/* Creates device node n unless it exists.  1 when it exists afterwards. */
static int create_device(int n) {
    char id[64];
    instance_id(n, id, sizeof id);
    DeviceList list = {SetupDiCreateDeviceInfoList(&kSystemClass, NULL)};
    if (list.set == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "SetupDiCreateDeviceInfoList: error %lu\n", GetLastError());
        return 0;
    }
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    int ok = 0;
    if (SetupDiOpenDeviceInfoA(list.set, id, NULL, 0, &device)) {
        ok = 1;
    } else if (!SetupDiCreateDeviceInfoA(list.set, id, &kSystemClass, NULL, NULL, 0, &device)) {
        fprintf(stderr, "SetupDiCreateDeviceInfo(%s): error %lu\n", id, GetLastError());
    } else {
        /* A multi-string: the id and an empty string. */
        char ids[sizeof kHardwareId + 1];
        memcpy(ids, kHardwareId, sizeof kHardwareId);
        ids[sizeof kHardwareId] = 0;
        if (!SetupDiSetDeviceRegistryPropertyA(list.set, &device, SPDRP_HARDWAREID,
                                               (const BYTE *)ids, sizeof ids))
            fprintf(stderr, "SPDRP_HARDWAREID of %s: error %lu\n", id, GetLastError());
        else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list.set, &device))
            fprintf(stderr, "DIF_REGISTERDEVICE of %s: error %lu\n", id, GetLastError());
        else
            ok = 1;
        if (ok) printf("created device %s\n", id);
    }
    release_list(&list);
    return ok;
}

static int install(int count) {
    char self[MAX_PATH];
    char inf[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, self, sizeof self);
    if (length == 0 || length >= sizeof self) return 0;
    char *slash = strrchr(self, '\\');
    if (slash == NULL) return 0;
    *slash = 0;
    snprintf(inf, sizeof inf, "%s\\tavtest.inf", self);

    for (int n = 0; n < count; ++n)
        if (!create_device(n)) return 0;

    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(NULL, kHardwareId, inf, INSTALLFLAG_FORCE, &reboot)) {
        fprintf(stderr, "UpdateDriverForPlugAndPlayDevices(%s): error %lu\n", inf,
                GetLastError());
        return 0;
    }
    printf("installed %s%s\n", inf, reboot ? " (the system asks for a restart)" : "");
    if (!wait_for_interfaces(count)) return 0;
    present_interfaces(1);
    return 1;
}

static int remove_all(void) {
    int ok = 1;
    for (int n = 0; n < MAX_DEVICES; ++n) {
        char id[64];
        instance_id(n, id, sizeof id);
        DeviceList list = {SetupDiCreateDeviceInfoList(NULL, NULL)};
        if (list.set == INVALID_HANDLE_VALUE) return 0;
        SP_DEVINFO_DATA device;
        device.cbSize = sizeof device;
        if (SetupDiOpenDeviceInfoA(list.set, id, NULL, 0, &device)) {
            if (SetupDiCallClassInstaller(DIF_REMOVE, list.set, &device)) {
                printf("removed device %s\n", id);
            } else {
                fprintf(stderr, "DIF_REMOVE of %s: error %lu\n", id, GetLastError());
                ok = 0;
            }
        }
        release_list(&list);
    }
    return ok && wait_for_interfaces(0);
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 3 && strcmp(argv[1], "install") == 0) {
        const int count = atoi(argv[2]);
        if (count < 1 || count > MAX_DEVICES) return 2;
        return install(count) ? 0 : 1;
    }
    if (argc == 2 && strcmp(argv[1], "remove") == 0) return remove_all() ? 0 : 1;
    if (argc == 2 && strcmp(argv[1], "list") == 0) {
        const int count = present_interfaces(1);
        printf("%d present\n", count);
        return count < 0 ? 1 : 0;
    }
    fprintf(stderr, "usage: %s install N | remove | list\n", argv[0]);
    return 2;
}
