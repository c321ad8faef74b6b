// One gate read: the request on the wire, the attempts, and the value.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "addressing/segment.h"
#include "transaction_fixture.h"

namespace draxo::test {
namespace {

using ReadTest = TransactionTest;

const std::string kEotS(1, kEot);
const std::string kEnqS(1, kEnq);

TEST_F(ReadTest, RequestsForEachPrefixGroup) {
    struct Case {
        const char* gate;
        const char* request; // between EOT and ENQ
    };
    const Case low[] = {
        {"01M1", "01M1"},         {"02SK", "02SK"},         {"01S2", "01S2"},
        {"01@@", "01@@"},         {"01RR", "01PN00RR"},     {"01PE", "01PN00PE"},
        {"01LE", "01PN00SN00LE"}, {"01AN", "01PN00SN00AN"}, {"01RE", "01PN00TN00RE"},
        {"01TF", "01PN00TN00TF"}, {"01P1", "01PO00P1"},     {"01OL", "01PO00OL"},
        {"01A1", "01AN00A1"},     {"01A3", "01AN00A3"},
    };
    const Case high[] = {
        {"01RR", "01PN16RR"}, {"01TM", "01PN16SN16TM"}, {"01TO", "01PN16TN16TO"},
        {"01MH", "01PO16MH"}, {"01A2", "01AN16A2"},     {"01CL", "01CL"},
    };
    for (bool sixteen : {false, true}) {
        if (sixteen) {
            block_.stations[1] = StationEntry{1, 16, 16, 16, 16, 16};
        }
        for (const Case& c : sixteen ? std::vector<Case>(std::begin(high), std::end(high))
                                     : std::vector<Case>(std::begin(low), std::end(low))) {
            GateIoRequest q = gate(c.gate);
            const std::string request = kEotS + c.request + kEnqS;
            answer({Frame(request.substr(3, request.size() - 4) + "0001.0")});
            EXPECT_EQ(read(q), 0) << c.gate;
            ASSERT_EQ(requests_.size(), 1u) << c.gate;
            EXPECT_EQ(requests_[0], request) << c.gate;
            EXPECT_EQ(std::string(block_.txBuffer), request) << c.gate; // NUL behind it
            EXPECT_EQ(slotFloat(), 1.0f) << c.gate;
        }
    }
}

TEST_F(ReadTest, SegmentSelectionChangesTheRequest) {
    GateIoRequest pn = gate("0225");
    GateIoRequest sn = gate("0230");
    SetSlotU16(slot_, 3);
    ASSERT_EQ(write(pn), 0);
    SetSlotU16(slot_, 16);
    ASSERT_EQ(write(sn), 0);
    std::memset(slot_, 0, sizeof slot_);
    ASSERT_EQ(read(sn), 0);
    EXPECT_EQ(SlotU16(slot_), 16);

    GateIoRequest tm = gate("02TM");
    answer({Frame("PN03SN16TM00.10.00")});
    EXPECT_EQ(read(tm), 0);
    ASSERT_EQ(requests_.size(), 1u);
    EXPECT_EQ(requests_[0], kEotS + "02PN03SN16TM" + kEnqS);
    EXPECT_EQ(slotFloat(), 1000.0f);
}

TEST_F(ReadTest, PlaceholderAndOutOfRangeCodesAreRefusedBeforeSending) {
    for (std::uint32_t code : {25u, 30u, 35u, 41u, 49u, 68u, 1000u}) {
        log_.clear();
        GateIoRequest q = gate("01M1");
        q.parsed.code = code;
        EXPECT_EQ(read(q), 1) << code;
        EXPECT_EQ(log_.messages(),
                  (std::vector<Message>{{32, "DRAXO> Read() illegal P200 gate address " +
                                                 std::to_string(code) + ", gtid 77 '01M1'"},
                                        {32, "DRAXO> SingleRead() , ret val is 1"}}))
            << code;
    }
    GateIoRequest q = gate("01M1");
    q.parsed.controller = 16;
    EXPECT_EQ(read(q), 1);
    EXPECT_EQ(fake::writes().size(), 0u);
}

struct ValueCase {
    const char* value;
    std::int32_t result;
    float stored;        // when accepted
    const char* refusal; // StoreData's message when refused
};

TEST_F(ReadTest, ValueTexts) {
    const ValueCase cases[] = {
        {"25.0", 0, 25.0f, nullptr},
        {"0025.0", 0, 25.0f, nullptr},
        {"-025.0", 0, -25.0f, nullptr},
        {"00.05.30", 0, 530.0f, nullptr},
        {"00.09.99", 0, 999.0f, nullptr},
        {"12.34.56", 0, 123456.0f, nullptr},
        {"99.59.59", 0, 995959.0f, nullptr},
        {"12.5", 0, 12.5f, nullptr},
        {"-5", 0, -5.0f, nullptr},
        {".5", 0, 0.5f, nullptr},
        {"1.2.3", 0, 1.2f, nullptr},
        {"5-3", 0, 5.0f, nullptr},
        {"000001", 0, 1.0f, nullptr},
        {"12.34.", 1, 0, "DRAXO> StoreData() illegal time format in data"},
        {"-1.23.45", 1, 0, "DRAXO> StoreData() illegal time format in data"},
        {"-", 1, 0, "DRAXO> StoreData() illegal analog data"},
        {".", 1, 0, "DRAXO> StoreData() illegal analog data"},
        {"--5", 1, 0, "DRAXO> StoreData() illegal analog data"},
        {"1 2", 1, 0, "DRAXO> StoreData() illegal character ' ' 0x20 in data"},
        {"", 1, 0, "DRAXO> StoreData() illegal character '\x03' 0x03 in data"},
        {"1e5", 1, 0, "DRAXO> StoreData() illegal character 'e' 0x65 in data"},
        {"99999999999999999999999999999999999999999", 1, 0,
         "DRAXO> StoreData() analog data out of range"},
        {"-99999999999999999999999999999999999999999", 1, 0,
         "DRAXO> StoreData() analog data out of range"},
        {"340282346638528859811704183484516925440", 0, 3.40282347e38f, nullptr},
    };
    for (const ValueCase& c : cases) {
        log_.clear();
        fake::reset();
        fake::addPort("COM1");
        ASSERT_EQ(run(13), 0);
        log_.clear();
        GateIoRequest q = gate("01M1");
        setSlotFloat(-777.0f);
        answer({Frame(std::string("M1") + c.value), Frame(std::string("M1") + c.value),
                Frame(std::string("M1") + c.value), Frame(std::string("M1") + c.value)});
        EXPECT_EQ(read(q), c.result) << c.value;
        if (c.result == 0) {
            EXPECT_EQ(slotFloat(), c.stored) << c.value;
            EXPECT_EQ(requests_.size(), 1u) << c.value;
            EXPECT_TRUE(log_.messages().empty()) << c.value;
        } else {
            EXPECT_EQ(slotFloat(), -777.0f) << c.value;
            EXPECT_EQ(requests_.size(), 4u) << c.value; // the same request every time
            std::vector<std::string> expected(4, c.refusal);
            expected.push_back("DRAXO> SingleRead() , ret val is 1");
            EXPECT_EQ(log_.texts(), expected) << c.value;
        }
    }
}

TEST_F(ReadTest, SilenceOnEveryAttempt) {
    GateIoRequest q = gate("01M1");
    setSlotFloat(-777.0f);
    answer({});
    const std::int64_t start = fake::now();
    EXPECT_EQ(read(q), 2);
    std::vector<std::string> expected = retries("DRAXO> DoRead() error receiving data", "01M1", 4);
    expected.push_back("DRAXO> SingleRead() , ret val is 2");
    EXPECT_EQ(log_.texts(), expected);
    EXPECT_EQ(log_.messages().back().cls, 32);
    EXPECT_EQ(requests_.size(), 4u);
    EXPECT_EQ(eotsSent(), 4);
    EXPECT_EQ(slotFloat(), -777.0f);
    // Four reply time-outs of 100 ms, plus the pauses after each transmission.
    EXPECT_GE(fake::now() - start, 400);
    EXPECT_LT(fake::now() - start, 420);
}

TEST_F(ReadTest, ResultRules) {
    struct Case {
        const char* name;
        std::vector<std::string> replies;
        std::vector<int> failedSends; // attempt numbers whose send fails
        std::int32_t result;
        std::vector<std::string> messages; // before the summary
    };
    const std::string recv = "DRAXO> DoRead() error receiving data";
    const std::string sent = "DRAXO> DoRead() error sending data";
    const std::string bcc = "DRAXO> Receive() BCC error";
    const auto at = [](const std::string& text, int n) {
        return text + ", retry " + std::to_string(n) + " '01M1'";
    };
    const Case cases[] = {
        {"bcc error then silence",
         {Frame("M125.0", 0)},
         {},
         1,
         {bcc, at(recv, 1), at(recv, 2), at(recv, 3), at(recv, 4)}},
        {"lone nak then the value",
         {"\x15", Frame("M125.0")},
         {},
         0,
         {at("DRAXO> DoRead() EOT received", 1)}},
        {"lone ack four times",
         {"\x06", "\x06", "\x06", "\x06"},
         {},
         1,
         {at("DRAXO> DoRead() EOT received", 1), at("DRAXO> DoRead() EOT received", 2),
          at("DRAXO> DoRead() EOT received", 3), at("DRAXO> DoRead() EOT received", 4)}},
        {"failed send then silence",
         {},
         {1},
         2,
         {at(sent, 1), at(recv, 2), at(recv, 3), at(recv, 4)}},
        {"junk then silence then a failed send then silence",
         {"\x31"},
         {3},
         2,
         {"DRAXO> Receive() Error, illegal 1st character of reply", at(recv, 1), at(recv, 2),
          at(sent, 3), at(recv, 4)}},
        {"silence then the value", {"", Frame("M125.0")}, {}, 0, {at(recv, 1)}},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::addPort("COM1");
        ASSERT_EQ(run(13), 0);
        log_.clear();
        GateIoRequest q = gate("01M1");
        setSlotFloat(-777.0f);
        answer(c.replies);
        // Sends are the 1st, 3rd, 5th, ... WriteFile when each attempt got to
        // receive; failing the whole transmission's write is enough here.
        for (int attempt : c.failedSends) {
            int writesBefore = 0;
            for (int n = 1; n < attempt; ++n) {
                writesBefore += 2; // request and EOT
            }
            fake::failCall("WriteFile", fake::count("WriteFile") + writesBefore + 1);
        }
        EXPECT_EQ(read(q), c.result) << c.name;
        std::vector<std::string> expected = c.messages;
        if (c.result != 0) {
            expected.push_back("DRAXO> SingleRead() , ret val is " + std::to_string(c.result));
        }
        EXPECT_EQ(log_.texts(), expected) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(slotFloat(), 25.0f) << c.name;
        } else {
            EXPECT_EQ(slotFloat(), -777.0f) << c.name;
        }
    }
}

TEST_F(ReadTest, EveryReceptionIsFollowedByAnEot) {
    GateIoRequest q = gate("01M1");
    answer({Frame("M125.0", 1), "\x15", Frame("M1x"), Frame("M125.0")});
    EXPECT_EQ(read(q), 0);
    const std::vector<std::string> w = fake::writes();
    ASSERT_EQ(w.size(), 8u);
    for (std::size_t i = 1; i < w.size(); i += 2) {
        EXPECT_EQ(w[i], kEotS) << i;
    }
}

TEST_F(ReadTest, AReplyToAnotherRequestIsNotStored) {
    // Late replies to earlier requests, then the real one.
    for (const char* stale : {"S10150.0", "M20150.0", "1M0150.0"}) {
        GateIoRequest q = gate("01M1");
        setSlotFloat(-777.0f);
        log_.clear();
        answer({Frame(stale), Frame("M10025.0")});
        EXPECT_EQ(read(q), 0) << stale;
        EXPECT_EQ(slotFloat(), 25.0f) << stale;
        EXPECT_EQ(log_.texts(),
                  (std::vector<std::string>{
                      "DRAXO> DoRead() reply echoes another request, retry 1 '01M1'"}))
            << stale;

        setSlotFloat(-777.0f);
        answer({Frame(stale), Frame(stale), Frame(stale), Frame(stale)});
        EXPECT_EQ(read(q), 1) << stale;
        EXPECT_EQ(slotFloat(), -777.0f) << stale;
    }
}

TEST_F(ReadTest, AReplyShorterThanItsEchoIsRefused) {
    block_.stations[1].pn = 3;
    block_.stations[1].sn = 7;
    GateIoRequest q = gate("01TM");
    setSlotFloat(-777.0f);
    answer({Frame("TM"), Frame("PN03SN07TM00.00.30")});
    EXPECT_EQ(read(q), 0);
    EXPECT_EQ(slotFloat(), 30.0f);
    EXPECT_EQ(log_.texts(), (std::vector<std::string>{
                                "DRAXO> DoRead() reply shorter than its echo, retry 1 '01TM'"}));

    // One character short: the value would start on the BCC's place.
    log_.clear();
    answer({Frame("PN03SN07T"), Frame("PN03SN07T"), Frame("PN03SN07T"), Frame("PN03SN07T")});
    EXPECT_EQ(read(q), 1);
    EXPECT_EQ(slotFloat(), 30.0f);
}

TEST_F(ReadTest, WithoutAPortOrAStationNothingIsSent) {
    GateIoRequest m1 = gate("01M1");
    GateIoRequest seg = gate("0125");
    block_.stations[1].pn = 5;
    const comm::Handle h = block_.handle;
    log_.clear();

    block_.handle = 0;
    std::memset(slot_, kGarbage, sizeof slot_);
    EXPECT_EQ(read(m1), 1);
    EXPECT_EQ(log_.texts(), (std::vector<std::string>{"DRAXO> SingleRead() , ret val is 1"}));
    EXPECT_EQ(read(seg), 0); // segment gates need no port
    EXPECT_EQ(SlotU16(slot_), 5);

    block_.handle = h;
    block_.stations[1].type = 0;
    log_.clear();
    EXPECT_EQ(read(m1), 1);
    EXPECT_EQ(read(seg), 1);
    EXPECT_EQ(fake::writes().size(), 0u);
    EXPECT_EQ(log_.texts(), (std::vector<std::string>{"DRAXO> SingleRead() , ret val is 1",
                                                      "DRAXO> SingleRead() , ret val is 1"}));
}

TEST_F(ReadTest, EachAttemptDrainsThenPausesForTheInterFrameGap) {
    block_.ifg = 20;
    GateIoRequest q = gate("01M1");
    fake::deliver("stale");
    answer({"", Frame("M125.0")});
    EXPECT_EQ(read(q), 0);
    std::vector<std::string> sequence;
    for (const fake::Call& c : fake::calls()) {
        if (c.name == "ClearCommError" || c.name == "WriteFile" ||
            (c.name == "Sleep" && c.args[0] == 20)) {
            sequence.push_back(c.name);
        }
    }
    // Per attempt: the flush's status call, the gap, the request with its
    // queue check, the EOT with its queue check.
    const std::vector<std::string> attempt = {"ClearCommError", "Sleep",     "WriteFile",
                                              "ClearCommError", "WriteFile", "ClearCommError"};
    std::vector<std::string> expected = attempt;
    expected.insert(expected.end(), attempt.begin(), attempt.end());
    EXPECT_EQ(sequence, expected);
    EXPECT_EQ(fake::pendingInput(), 0u);
}

} // namespace
} // namespace draxo::test
