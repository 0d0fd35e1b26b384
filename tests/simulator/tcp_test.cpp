// The network port: the instrument of one device served to TCP clients as
// lines ending in LF, sharing the device's command and output queues.
#include "control_text.h"
#include "line_connection.h"
#include "sim_fixture.h"
#include "tcp_client.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <ostream>

namespace tavlib::sim::test {
namespace {

const std::string kSampleIdentity = "VESPARO,ZQ907,SN000001,2.4.1\n";

class Tcp : public SimTest {
protected:
    // The sample instrument as device 1, served on a free port.
    void start_sample(std::vector<std::string> more = {}) {
        std::vector<std::string> args{"--definitions", kSample, "--tcp", "0"};
        args.insert(args.end(), more.begin(), more.end());
        start(std::move(args));
        port_ = tcp_port_of(sim().output());
    }
    TcpClient client() { return TcpClient(port_); }

    std::uint16_t port_ = 0;
};

// ---- line ends -------------------------------------------------------------------

TEST(LfLineEnds, OnlyCrLfPairsChange) {
    EXPECT_EQ(to_lf_line_ends("A\r\nB\r\n"), "A\nB\n");
    EXPECT_EQ(to_lf_line_ends("\r\r\n"), "\r\n");
    EXPECT_EQ(to_lf_line_ends("x\r"), "x\r");
    EXPECT_EQ(to_lf_line_ends("\n\r"), "\n\r");
    EXPECT_EQ(to_lf_line_ends(std::string("a\0\r\n", 4)), std::string("a\0\n", 3));
    EXPECT_EQ(to_lf_line_ends(""), "");
}

struct TcpDialogueCase {
    const char* name;
    std::vector<std::string> pieces;   // sent one after the other
    std::vector<std::string> answers;  // the lines that must come back, in order
};

std::ostream& operator<<(std::ostream& os, const TcpDialogueCase& c) { return os << c.name; }

class TcpDialogues : public Tcp, public ::testing::WithParamInterface<TcpDialogueCase> {};

TEST_P(TcpDialogues, AnswersEndInLfWhateverTheInputLineEnd) {
    start_sample();
    TcpClient c = client();
    for (const std::string& piece : GetParam().pieces) c.send(piece);
    for (const std::string& answer : GetParam().answers) EXPECT_EQ(c.expect_line(), answer);
    // Nothing else came first or in between: the next query's answer is next.
    c.send("*IDN?\n");
    EXPECT_EQ(c.expect_line(), kSampleIdentity);
}

INSTANTIATE_TEST_SUITE_P(
    Sample, TcpDialogues,
    ::testing::Values(
        TcpDialogueCase{"idn_lf", {"*IDN?\n"}, {kSampleIdentity}},
        TcpDialogueCase{"idn_crlf", {"*IDN?\r\n"}, {kSampleIdentity}},
        TcpDialogueCase{"answer_code", {"CONF:RANGE 1000\n"}, {"RANGE REFUSED ANS40\n"}},
        TcpDialogueCase{"unknown", {"NO:SUCH\r\n"}, {"ERROR unknown command ANS90\n"}},
        TcpDialogueCase{"lines_in_one_message", {"SELFTEST?\n"}, {"SELFTEST ANS40\n", "CHANNEL 2 ANS20\n"}},
        TcpDialogueCase{"two_messages", {"SYST:ERR?\n"}, {"0,\"No error\"\n", "END\n"}},
        TcpDialogueCase{"silent_then_query", {"*RST\n", "MEAS:VOLT?\n"}, {"+1.23450E+00\n"}},
        TcpDialogueCase{"line_in_pieces", {"MEAS:", "VO", "LT?\r", "\n"}, {"+1.23450E+00\n"}},
        TcpDialogueCase{"mixed_line_ends_in_one_send",
                     {"MEAS:VOLT?\r\nCONF:RANGE 1000\nMEAS:CURR?\n"},
                     {"+1.23450E+00\n", "RANGE REFUSED ANS40\n", "+4.20000E-03\n"}},
        TcpDialogueCase{"delayed_answer_keeps_order", {"MEAS:CURR?\nMEAS:VOLT?\n"}, {"+4.20000E-03\n", "+1.23450E+00\n"}},
        // Only a CR directly before the LF is a line end; another CR is part
        // of the command (which the sample instrument does not know).
        TcpDialogueCase{"lone_cr_stays", {"*IDN?\r\r\n"}, {"ERROR unknown command ANS90\n"}}),
    [](const ::testing::TestParamInfo<TcpDialogueCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(Tcp, LargeResponseArrivesWholeWithItsCrLfTurnedIntoLf) {
    start_sample();
    TcpClient c = client();
    c.send("DATA? 3000000\n");
    const std::string data = c.expect_line();
    ASSERT_EQ(data.size(), 3000000u - 1);
    EXPECT_EQ(data, data_pattern(3000000).substr(0, 3000000 - 2) + "\n");
}

TEST_F(Tcp, BuiltInInstrumentAndCommandsUpToEof) {
    start({"--tcp", "0"});
    port_ = tcp_port_of(sim().output());
    TcpClient c = client();
    // Everything sent before the client's EOF is answered before the close.
    c.send("*IDN?\nhello\n\n");
    c.shutdown_sending();
    EXPECT_EQ(c.expect_line(), "VESPARO,ZQ907,SN000001,1.0.0\n");
    EXPECT_EQ(c.expect_line(), "hello\n");
    EXPECT_EQ(c.expect_line(), "\n");  // the echo of an empty line
    EXPECT_TRUE(c.closed_by_peer());
    sim().wait(1, "tcp-clients=0");
}

TEST_F(Tcp, AfterEofDelayedAnswersStillCome) {
    start_sample();
    TcpClient c = client();
    c.send("MEAS:CURR?\nMEAS:VOLT?\n");  // the first is answered after a delay
    c.shutdown_sending();
    EXPECT_EQ(c.expect_line(), "+4.20000E-03\n");
    EXPECT_EQ(c.expect_line(), "+1.23450E+00\n");
    EXPECT_TRUE(c.closed_by_peer());
}

// ---- several clients -----------------------------------------------------------------

TEST_F(Tcp, TwoClientsEachGetTheirOwnAnswers) {
    start_sample();
    TcpClient a = client();
    TcpClient b = client();
    sim().wait(1, "tcp-clients=2");
    // a's answer comes after a delay; b's command waits behind it in the
    // instrument and is answered after it, to b.
    a.send("MEAS:CURR?\n");
    b.send("*IDN?\n");
    EXPECT_EQ(b.expect_line(), kSampleIdentity);
    EXPECT_EQ(a.expect_line(), "+4.20000E-03\n");
    for (int i = 0; i < 20; ++i) {
        a.send("MEAS:VOLT?\n");
        b.send("CONF:RANGE 1000\n");
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(a.expect_line(), "+1.23450E+00\n");
        EXPECT_EQ(b.expect_line(), "RANGE REFUSED ANS40\n");
    }
    {
        TcpClient gone = client();
        gone.send("SELFTEST?\n");  // its answer goes to it, and goes with it
        EXPECT_EQ(gone.expect_line(), "SELFTEST ANS40\n");
    }
    sim().wait(1, "tcp-clients=2");
    a.send("SYST:ERR?\n");
    EXPECT_EQ(a.expect_line(), "0,\"No error\"\n");
    EXPECT_EQ(a.expect_line(), "END\n");
    EXPECT_NE(sim().command("list").lines.at(0).find(" tcp-clients=2 "), std::string::npos);
}

// ---- sharing the device with driver connections ---------------------------------------

TEST_F(Tcp, DriverAndTcpShareTheOutputQueueFrontMessageFirst) {
    start_sample();
    RawConnection device = connect(1);
    TcpClient c = client();
    // An answer the device connection has not read yet is the front message:
    // the TCP client's READ takes it, and the device READ gets the TCP answer.
    device.write(1, "*IDN?\r\n");
    EXPECT_EQ(device.expect().status, 0u);
    c.send("MEAS:VOLT?\n");
    EXPECT_EQ(c.expect_line(), kSampleIdentity);
    device.read(2, 100);
    EXPECT_EQ(device.expect().payload, "+1.23450E+00\r\n");

    // A device READ already waiting takes the next message, even the answer
    // to a TCP command; the TCP client's READ then waits for the next output.
    device.read(3, 100);
    sim().wait(1, "reads-pending=1");
    c.send("CONF:RANGE 1000\n");
    EXPECT_EQ(device.expect().payload, "RANGE REFUSED ANS40\r\n");
    sim().push(1, "PUSHED");
    EXPECT_EQ(c.expect_line(), "PUSHED\n");

    // Output nobody waited for (pushed) goes to the next reader first.
    sim().push(1, "STALE");
    c.send("*IDN?\n");
    EXPECT_EQ(c.expect_line(), "STALE\n");
    c.send("MEAS:VOLT?\n");
    EXPECT_EQ(c.expect_line(), kSampleIdentity);
    device.read(4, 100);
    EXPECT_EQ(device.expect().payload, "+1.23450E+00\r\n");
}

TEST_F(Tcp, TcpLinesDoNotJoinAPartialDriverLine) {
    start_sample();
    RawConnection device = connect(1);
    TcpClient c = client();
    device.write(1, "MEAS:");
    device.expect();
    c.send("*IDN?\n");
    EXPECT_EQ(c.expect_line(), kSampleIdentity);
    device.write(2, "VOLT?\r\n");
    device.expect();
    device.read(3, 100);
    EXPECT_EQ(device.expect().payload, "+1.23450E+00\r\n");
}

TEST_F(Tcp, RecoveryDropsTcpCommandsNotAnsweredYet) {
    start_sample();
    RawConnection device = connect(1);
    TcpClient c = client();
    c.send("MEAS:CURR?\nMEAS:VOLT?\n");  // the first is in its delay, the second waits behind it
    sim().wait(1, "pending-commands=1");
    TcpClient leaving = client();  // it has sent EOF and waits for its answer
    leaving.send("SELFTEST?\n");
    leaving.shutdown_sending();
    sim().wait(1, "pending-commands=2");
    device.ioctl(1, kIoctlRecover);
    EXPECT_EQ(device.expect().status, 0u);
    c.send("*IDN?\n");
    EXPECT_EQ(c.expect_line(), kSampleIdentity);
    // Its command is gone, so nothing is due to it any more.
    EXPECT_TRUE(leaving.closed_by_peer());
}

// ---- the port and its device -----------------------------------------------------

TEST_F(Tcp, ServesTheNamedDeviceAndClosesClientsWhenItGoes) {
    start({"--devices", "2", "--tcp", "0", "--tcp-device", "2"});
    EXPECT_NE(sim().output().find("device=2"), std::string::npos);
    port_ = tcp_port_of(sim().output());
    TcpClient c = client();
    c.send("*IDN?\n");
    EXPECT_EQ(c.expect_line(), "VESPARO,ZQ907,SN000002,1.0.0\n");
    sim().wait(2, "tcp-clients=1");
    sim().wait(1, "tcp-clients=0");
    sim().remove_device(2);
    EXPECT_TRUE(c.closed_by_peer());
    // Without its device the port turns clients away.
    TcpClient late = client();
    EXPECT_TRUE(late.closed_by_peer());
    EXPECT_TRUE(sim().wait_for_output("refused: no device 2", std::chrono::seconds(20)));
}

TEST_F(Tcp, StartFailures) {
    // A port that is taken.
    UniqueFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(taken.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(taken.get(), 1), 0);
    socklen_t length = sizeof addr;
    ASSERT_EQ(::getsockname(taken.get(), reinterpret_cast<sockaddr*>(&addr), &length), 0);
    const std::string port = std::to_string(ntohs(addr.sin_port));

    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--tcp", port}, "cannot listen on TCP 127.0.0.1 port " + port + ": Address already in use"},
        {{"--devices", "0", "--tcp"}, "--tcp: no device at start"},
        // A documentation address: no interface of this machine has it.
        {{"--tcp", "0", "--tcp-bind", "192.0.2.1"}, "cannot listen on TCP 192.0.2.1 port 0"},
        {{"--tcp", "65536"}, "not in range 0 to 65535"},
        {{"--tcp-device", "1"}, "--tcp-bind and --tcp-device need --tcp"},
    };
    for (const Case& c : cases) {
        try {
            start(c.args);
            ADD_FAILURE() << "started with " << testing::PrintToString(c.args);
        } catch (const SimProcessError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace tavlib::sim::test
