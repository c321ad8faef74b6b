// A started instance on the fake line with a scripted controller.
#pragma once

#include <string>
#include <vector>

#include "driver_fixture.h"
#include "serial/link.h"

namespace draxo::test {

class TransactionTest : public DriverTest {
  protected:
    TransactionTest() {
        EXPECT_EQ(coldStart("1 = P200\n2 = P200\n", "COM1", 1, 10), 0);
        log_.clear();
    }
    ~TransactionTest() override { fake::onWrite(nullptr); }

    // Answers each request (anything but the lone EOT after a reply) with
    // the next of `replies`; an empty reply is silence, and silence follows
    // the last one.
    void answer(std::vector<std::string> replies, std::int64_t delayMs = 2) {
        replies_ = std::move(replies);
        next_ = 0;
        requests_.clear();
        fake::onWrite([this, delayMs](std::string_view bytes) {
            if (bytes == std::string_view("\x04", 1)) {
                return;
            }
            requests_.emplace_back(bytes);
            if (next_ < replies_.size()) {
                const std::string& reply = replies_[next_++];
                if (!reply.empty()) {
                    fake::deliver(reply, delayMs);
                }
            }
        });
    }
    int eotsSent() const {
        int n = 0;
        for (const std::string& w : fake::writes()) {
            n += w == std::string("\x04", 1);
        }
        return n;
    }
    std::vector<std::string> retries(const std::string& text, const std::string& gate,
                                     int attempts) const {
        std::vector<std::string> out;
        for (int n = 1; n <= attempts; ++n) {
            out.push_back(text + ", retry " + std::to_string(n) + " '" + gate + "'");
        }
        return out;
    }

    std::vector<std::string> replies_;
    std::size_t next_ = 0;
    std::vector<std::string> requests_;
};

} // namespace draxo::test
