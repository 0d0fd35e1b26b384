// Identification of the instrument by "*IDN?".
#pragma once

#include <cstddef>
#include <cstdint>

#include "tavlib.h"

namespace tavlib::protocol {

inline constexpr std::size_t kFieldSize = TAVRIL_IDENTITY_FIELD_SIZE;

// Splits an identity response in place into its last three comma-separated
// fields: firmware version (last), serial number, model.  Missing leading
// fields come out empty; a field longer than 19 characters is cut to 19.
// Afterwards `identityText` holds what stood before the third-last comma.
void SplitIdentity(char (&modelField)[kFieldSize], char (&serialField)[kFieldSize],
                   char (&firmwareField)[kFieldSize], char* identityText) noexcept;

// The last stage of Open_Tavril on a freshly opened and claimed device: asks
// "*IDN?" and reads on until a response line names the expected instrument,
// then fills `identity`.  Returns TAVRIL_OPEN_OK, or TAVRIL_OPEN_NOT_IDENTIFIED
// with the failure's code in *errorCode; never closes the device.
std::int32_t identify_instrument(TavrilHandle handle, InstrumentIdentity* identity,
                                 std::uint32_t* errorCode);

}  // namespace tavlib::protocol
