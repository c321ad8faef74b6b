// Starting an instance and managing its port.
#include <cstring>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "entry/vpi_main.h"

namespace draxo::test {
namespace {

class LifecycleTest : public DriverTest {
  protected:
    std::int32_t change(const char* name, std::int32_t timeout, LineParams line) {
        ChangeParams p{};
        std::strncpy(p.portName, name, sizeof p.portName - 1);
        p.replyTimeout = timeout;
        p.line = line;
        return run(15, &p);
    }
    std::uint32_t constant() const {
        return fake::portByHandle(block_.handle)->timeouts.ReadTotalTimeoutConstant;
    }
    static bool IsVersionLine(const Message& m) {
        return m.cls == 32 && m.text.rfind("DRAXO> version compiled on ", 0) == 0 &&
               m.text.find(" at time ") != std::string::npos;
    }
};

TEST_F(LifecycleTest, ColdStartOpensThePortAndAppliesTheReplyTimeout) {
    ASSERT_EQ(coldStart("1 = P200\n", "COM1", 1, 25), 0);
    EXPECT_EQ(block_.handle, 0x100u);
    EXPECT_EQ(block_.replyTimeout, 25);
    EXPECT_EQ(block_.ifg, 0u);
    EXPECT_EQ(constant(), 250u);
    EXPECT_STREQ(block_.port.portName, "COM1");
    EXPECT_EQ(block_.port.line.baud, 9600);
    EXPECT_EQ(block_.port.lineFlags, 0x0303);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(block_.stations[i].type, i == 1 ? 1 : 0) << i;
    }

    const std::vector<Message>& m = log_.messages();
    ASSERT_EQ(m.size(), 5u);
    EXPECT_TRUE(IsVersionLine(m[0])) << m[0];
    EXPECT_EQ(m[1], (Message{32, "Station 1 = P200"}));
    EXPECT_EQ(m[2], (Message{8, "DRAXO> OpenCom() exited OK, file handle 256"}));
    EXPECT_EQ(m[3], (Message{32, "DRAXO> ColdStart() port COM1 opened, file handle 256"}));
    EXPECT_EQ(m[4], (Message{32, "DRAXO> ColdStart() exited, 0"}));
}

TEST_F(LifecycleTest, ColdStartWithoutOpeningLeavesThePortSettingsAlone) {
    ASSERT_EQ(coldStart("IFG = 20\n3 = P200\n", "COM1", 0, 40), 0);
    EXPECT_EQ(block_.handle, 0u);
    EXPECT_EQ(block_.replyTimeout, 40);
    EXPECT_EQ(block_.ifg, 20u);
    EXPECT_EQ(block_.stations[3].type, 1);
    EXPECT_EQ(static_cast<unsigned char>(block_.port.portName[0]), kGarbage);
    EXPECT_EQ(fake::count("CreateFileA"), 0);
    EXPECT_EQ(log_.messages().back(), (Message{32, "DRAXO> ColdStart() exited, 0"}));
}

TEST_F(LifecycleTest, ColdStartOnNullDevicesRecordsTheSettingsAndTalksToNobody) {
    for (const char* name : {"NULLDEV", "NUL"}) {
        fake::reset();
        log_.clear();
        ASSERT_EQ(coldStart("1 = P200\n", name), 0) << name;
        EXPECT_EQ(block_.handle, 0u);
        EXPECT_STREQ(block_.port.portName, name);
        EXPECT_TRUE(log_.contains("DRAXO> ColdStart() NULLDEV => no communication")) << name;
        EXPECT_EQ(fake::count("CreateFileA"), 0) << name;

        GateIoRequest q = gate("01M1");
        EXPECT_EQ(read(q), 1);
        EXPECT_EQ(write(q), 1);
        EXPECT_EQ(fake::calls().size(), 0u);
    }
}

TEST_F(LifecycleTest, ColdStartThatCannotOpenStillDeclaresTheStations) {
    std::memset(&block_.port, 0x11, sizeof block_.port);
    dir_.write("DRAXO.INT", "2 = P200\n");
    ColdStartParams p{};
    std::strcpy(p.portName, "COM7"); // no such port
    p.openPort = 1;
    p.replyTimeout = 10;
    p.line = LineParams{9600, 8, 0, 0};
    EXPECT_EQ(run(1, &p), 1);
    EXPECT_EQ(block_.handle, 0u);
    EXPECT_EQ(block_.stations[2].type, 1);
    EXPECT_EQ(block_.port.portName[0], 0x11);
    EXPECT_TRUE(log_.contains("DRAXO> OpenCom() exited with error"));
    EXPECT_EQ(log_.messages().back(), (Message{32, "DRAXO> ColdStart() unable to open COM7 port"}));
}

TEST_F(LifecycleTest, SecondColdStartOnAHeldPortFails) {
    ASSERT_EQ(coldStart(), 0);
    const comm::Handle first = block_.handle;
    log_.clear();
    EXPECT_EQ(coldStart(), 1);
    EXPECT_EQ(block_.handle, 0u);
    EXPECT_TRUE(fake::portByHandle(first)->open);
    EXPECT_EQ(log_.messages().back(), (Message{32, "DRAXO> ColdStart() unable to open COM1 port"}));
}

TEST_F(LifecycleTest, ReplyTimeoutsThatWouldNeverEndDoNotReachThePort) {
    for (std::int32_t t : {0, -1, -100}) {
        fake::reset();
        ASSERT_EQ(coldStart("1 = P200\n", "COM1", 1, t), 0);
        EXPECT_EQ(block_.replyTimeout, t);
        EXPECT_EQ(constant(), 1000u) << t; // what the open set
        ASSERT_EQ(run(12), 0);
    }
}

TEST_F(LifecycleTest, PortNamesThatDoNotFitAreRefusedNotCut) {
    ColdStartParams p{};
    std::memcpy(p.portName, "COM123456789", 12); // no NUL in the field
    p.openPort = 1;
    p.replyTimeout = 10;
    fake::addPort("COM12345678");
    dir_.write("DRAXO.INT", "1 = P200\n");
    EXPECT_EQ(run(1, &p), 1);
    EXPECT_EQ(fake::count("CreateFileA"), 0);
    EXPECT_EQ(log_.messages().back(),
              (Message{32, "DRAXO> ColdStart() port name does not fit in 12 bytes"}));

    log_.clear();
    ChangeParams c{};
    std::memcpy(c.portName, "COM123456789", 12);
    c.replyTimeout = 50;
    block_.replyTimeout = 10;
    EXPECT_EQ(run(15, &c), 2);
    EXPECT_EQ(block_.replyTimeout, 10);
    EXPECT_EQ(fake::count("CreateFileA"), 0);
    EXPECT_EQ(log_.texts(), (std::vector<std::string>{
                                "DRAXO> ChangeVpiParams() port name does not fit in 12 bytes"}));

    // A block whose settings were never recorded holds no name to reopen.
    log_.clear();
    std::memset(&block_.port, kGarbage, sizeof block_.port);
    EXPECT_EQ(run(13), 2);
    EXPECT_EQ(fake::count("CreateFileA"), 0);
    EXPECT_EQ(log_.texts(),
              (std::vector<std::string>{"DRAXO> ReOpenCom() no valid port name recorded"}));
}

TEST_F(LifecycleTest, WarmStartDrainsTheInput) {
    ASSERT_EQ(coldStart(), 0);
    fake::deliver("stale bytes");
    log_.clear();
    EXPECT_EQ(run(2), 0);
    EXPECT_EQ(fake::pendingInput(), 0u);
    EXPECT_EQ(log_.messages(), (std::vector<Message>{{32, "DRAXO> WarmStart() exited, 0"}}));

    block_.handle = 0;
    const std::size_t calls = fake::calls().size();
    EXPECT_EQ(run(2), 0);
    EXPECT_EQ(fake::calls().size(), calls);
}

TEST_F(LifecycleTest, CloseAndReopen) {
    ASSERT_EQ(coldStart("1 = P200\n", "COM1", 1, 30), 0);
    log_.clear();
    EXPECT_EQ(run(12), 0);
    EXPECT_EQ(block_.handle, 0u);
    EXPECT_EQ(run(12), 0); // nothing to close
    EXPECT_EQ(fake::count("CloseHandle"), 1);

    EXPECT_EQ(run(13), 0);
    EXPECT_NE(block_.handle, 0u);
    EXPECT_EQ(constant(), 300u);
    EXPECT_EQ(fake::portByHandle(block_.handle)->dcb.fRtsControl, comm::kRtsControlEnable);

    // Reopening a port that is still open fails; the old handle stays.
    const comm::Handle held = block_.handle;
    EXPECT_EQ(run(13), 2);
    EXPECT_EQ(block_.handle, held);

    // A failed close keeps the handle, so that the host may try again.
    fake::failCall("CloseHandle", fake::count("CloseHandle") + 1);
    EXPECT_EQ(run(12), 2);
    EXPECT_EQ(block_.handle, held);
    EXPECT_EQ(run(12), 0);
    EXPECT_EQ(log_.texts(),
              (std::vector<std::string>{
                  "DRAXO> CloseCom() exited 0", "DRAXO> CloseCom() exited 0",
                  "DRAXO> OpenCom() exited OK, file handle 257", "DRAXO> ReOpenCom() exited 0",
                  "DRAXO> OpenCom() exited with error", "DRAXO> ReOpenCom() exited 2",
                  "DRAXO> CloseCom() exited 2", "DRAXO> CloseCom() exited 0"}));
    EXPECT_EQ(log_.messages()[6].cls, 8);
}

TEST_F(LifecycleTest, ReOpenComAfterAColdStartThatRecordedNothingUsesTheDefaultFlags) {
    ASSERT_EQ(coldStart("1 = P200\n", "COM1", 0), 0);
    std::memset(&block_.port, 0, sizeof block_.port);
    std::strcpy(block_.port.portName, "COM1");
    block_.port.line = LineParams{9600, 8, 0, 0};
    block_.port.lineFlags = 0xA000; // whatever the host's memory held
    EXPECT_EQ(run(13), 0);
    const fake::PortState* p = fake::portByHandle(block_.handle);
    EXPECT_EQ(p->dcb.fDtrControl, comm::kDtrControlEnable);
    EXPECT_EQ(p->dcb.fRtsControl, comm::kRtsControlEnable);

    std::strcpy(block_.port.portName, "NULLDEV");
    log_.clear();
    EXPECT_EQ(run(13), 0);
    EXPECT_EQ(log_.texts(),
              (std::vector<std::string>{"DRAXO> ReOpenCom() NULLDEV => no communications",
                                        "DRAXO> ReOpenCom() exited 0"}));
}

TEST_F(LifecycleTest, ChangeVpiParams) {
    ASSERT_EQ(coldStart("1 = P200\n", "COM1", 1, 30), 0);
    fake::addPort("COM2");
    const LineParams fast{19200, 7, 2, 2};

    // Same name on an open port: stored, not applied, and the reopen fails.
    log_.clear();
    EXPECT_EQ(change("COM1", 50, fast), 2);
    EXPECT_EQ(block_.replyTimeout, 50);
    EXPECT_EQ(block_.port.line.baud, 19200);
    EXPECT_EQ(constant(), 300u);
    EXPECT_EQ(log_.texts(), (std::vector<std::string>{"DRAXO> OpenCom() exited with error",
                                                      "DRAXO> ChangeVpiParams() exited 2"}));

    // -1 and baud 0 keep what is there; the closed port reopens with it.
    ASSERT_EQ(run(12), 0);
    EXPECT_EQ(change("COM1", -1, LineParams{0, 5, 1, 3}), 0);
    EXPECT_EQ(block_.replyTimeout, 50);
    EXPECT_EQ(constant(), 500u);
    const fake::PortState* p = fake::portByHandle(block_.handle);
    EXPECT_EQ(p->dcb.BaudRate, 19200u);
    EXPECT_EQ(p->dcb.ByteSize, 7);
    EXPECT_EQ(p->dcb.StopBits, 2);
    EXPECT_EQ(p->dcb.Parity, 2);

    // A new name closes the open port first.
    log_.clear();
    const comm::Handle old = block_.handle;
    EXPECT_EQ(change("COM2", 0, LineParams{0, 0, 0, 0}), 0);
    EXPECT_FALSE(fake::portByHandle(old)->open);
    EXPECT_STREQ(fake::portByHandle(block_.handle)->name.c_str(), "COM2");
    EXPECT_EQ(log_.texts(),
              (std::vector<std::string>{"DRAXO> CloseCom() exited 0",
                                        "DRAXO> OpenCom() exited OK, file handle 258"}));

    // To a null device: closed, recorded, no open.
    log_.clear();
    EXPECT_EQ(change("NULLDEV", 0, LineParams{0, 0, 0, 0}), 0);
    EXPECT_EQ(block_.handle, 0u);
    EXPECT_STREQ(block_.port.portName, "NULLDEV");
    EXPECT_EQ(log_.texts(),
              (std::vector<std::string>{"DRAXO> CloseCom() exited 0",
                                        "DRAXO> ChangeVpiParams() NULLDEV => no communications"}));
}

TEST_F(LifecycleTest, EndVpiClosesThisInstanceAndEndsEveryOther) {
    fake::addPort("COM2");
    InstanceBlock other;
    std::memset(&other, 0, sizeof other);
    ASSERT_EQ(coldStart(), 0);
    {
        ColdStartParams p{};
        std::strcpy(p.portName, "COM2");
        p.openPort = 1;
        p.replyTimeout = 10;
        p.line = LineParams{9600, 8, 0, 0};
        VpiCallBlock call{&other, 1, 2, 0, &p};
        ASSERT_EQ(VpiMain(&call), 0);
    }
    const comm::Handle otherHandle = other.handle;
    ASSERT_NE(otherHandle, 0u);

    log_.clear();
    EXPECT_EQ(run(11), 0);
    EXPECT_EQ(log_.messages(), (std::vector<Message>{{8, "DRAXO> CloseCom() exited 0"},
                                                     {8, "DRAXO> EndVpi() exited, 0"}}));
    log_.clear();
    for (std::int32_t command : {12, 11}) {
        VpiCallBlock call{&other, command, 2, 0, nullptr};
        EXPECT_EQ(VpiMain(&call), 0);
    }
    EXPECT_EQ(other.handle, otherHandle);
    EXPECT_TRUE(fake::portByHandle(otherHandle)->open);
    EXPECT_TRUE(log_.messages().empty());
}

TEST_F(LifecycleTest, EndVpiWithAFailingCloseAnswersItsResult) {
    ASSERT_EQ(coldStart(), 0);
    fake::failCall("CloseHandle", 1);
    log_.clear();
    EXPECT_EQ(run(11), 2);
    EXPECT_EQ(log_.texts(), (std::vector<std::string>{"DRAXO> CloseCom() exited 2",
                                                      "DRAXO> EndVpi() exited, 2"}));
    EXPECT_EQ(vpiEnded, 1u);
}

} // namespace
} // namespace draxo::test
