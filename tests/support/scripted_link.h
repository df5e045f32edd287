// A scripted in-memory link for the protocol tests: it stands in the port and
// the host. Each write of the tool takes the next scripted reply (bytes, empty
// polls, failed reads) and queues it for the tool's reads; the test then looks
// at every write, the console text, the pauses and the polls.
#pragma once

#include "platform/platform.h"
#include "serial/serial_link.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace test {

using bytes = std::vector<std::uint8_t>;

struct read_event {
    enum kind_t { byte, empty, failure } kind = empty;
    std::uint8_t value = 0;
    long error = 0;
};

// What the peer answers to one write: read events, and whether the write fails.
struct reply {
    std::vector<read_event> events;
    bool write_fails = false;
    std::uint32_t write_short_by = 0;

    reply& text(const std::string& s) {
        for (unsigned char c : s) {
            events.push_back({read_event::byte, c, 0});
        }
        return *this;
    }
    reply& data(std::initializer_list<std::uint8_t> values) {
        for (auto v : values) {
            events.push_back({read_event::byte, v, 0});
        }
        return *this;
    }
    reply& silence(int polls) {
        for (int i = 0; i < polls; ++i) {
            events.push_back({read_event::empty, 0, 0});
        }
        return *this;
    }
    reply& fail_read(long error) {
        events.push_back({read_event::failure, 0, error});
        return *this;
    }
};

inline reply answer(std::initializer_list<std::uint8_t> values) {
    return reply{}.data(values);
}
inline reply answer_text(const std::string& s) {
    return reply{}.text(s);
}
inline reply failed_write() {
    reply r;
    r.write_fails = true;
    return r;
}

class scripted_link final : public platform::serial_port, public platform::host {
  public:
    scripted_link() {
        serial::port_handle = this;
        serial::host_handle = this;
    }
    ~scripted_link() override {
        serial::port_handle = nullptr;
        serial::host_handle = nullptr;
    }

    // Replies, one per write, in order; writes beyond the script get no reply.
    std::deque<reply> replies;
    // Bytes already on the line before the first write.
    void preload(const reply& r) { queue(r); }

    std::vector<bytes> writes;
    std::string console;
    std::vector<std::uint32_t> pauses;
    int empty_polls = 0;
    int reads = 0;
    int purges = 0;
    int key_waits = 0;
    int wait_sents = 0;
    int signal = 0;
    // Configuration faults for setup_comms.
    bool fail_get_state = false, fail_set_state = false, fail_get_timeouts = false,
         fail_set_timeouts = false;
    long error_number = 0;
    platform::comm_state state{};
    platform::comm_timeouts timeouts{};

    std::size_t pending() const { return incoming_.size(); }

    // serial_port
    bool get_state(platform::comm_state& s) override {
        if (fail_get_state) {
            return false;
        }
        s = state;
        return true;
    }
    bool set_state(const platform::comm_state& s) override {
        if (fail_set_state) {
            return false;
        }
        state = s;
        return true;
    }
    bool get_timeouts(platform::comm_timeouts& t) override {
        if (fail_get_timeouts) {
            return false;
        }
        t = timeouts;
        return true;
    }
    bool set_timeouts(const platform::comm_timeouts& t) override {
        if (fail_set_timeouts) {
            return false;
        }
        timeouts = t;
        return true;
    }
    bool read(std::uint8_t& byte, std::uint32_t& count) override {
        ++reads;
        count = 0;
        if (incoming_.empty()) {
            ++empty_polls;
            return true;
        }
        const read_event event = incoming_.front();
        incoming_.pop_front();
        switch (event.kind) {
        case read_event::byte:
            byte = event.value;
            count = 1;
            return true;
        case read_event::empty:
            ++empty_polls;
            return true;
        case read_event::failure:
            error_number = event.error;
            return false;
        }
        return true;
    }
    bool write(const std::uint8_t* data, std::uint32_t length, std::uint32_t& written) override {
        writes.emplace_back(data, data + length);
        reply r;
        if (!replies.empty()) {
            r = replies.front();
            replies.pop_front();
        }
        if (r.write_fails) {
            written = 0;
            error_number = 5;
            return false;
        }
        written = length - r.write_short_by;
        queue(r);
        return true;
    }
    void wait_sent() override { ++wait_sents; }
    void purge() override {
        ++purges;
        incoming_.clear();
    }
    long last_error() const override { return error_number; }

    // host
    std::unique_ptr<platform::serial_port> open_port(const char*) override { return nullptr; }
    void console_write(const char* text, std::size_t length) override {
        console.append(text, length);
    }
    void pause_ms(std::uint32_t ms) override { pauses.push_back(ms); }
    void wait_key() override { ++key_waits; }
    int interrupted() const override { return signal; }

    // All bytes the tool wrote, in order.
    bytes wire() const {
        bytes all;
        for (const auto& w : writes) {
            all.insert(all.end(), w.begin(), w.end());
        }
        return all;
    }

  private:
    void queue(const reply& r) {
        incoming_.insert(incoming_.end(), r.events.begin(), r.events.end());
    }
    std::deque<read_event> incoming_;
};

// Counts the non-overlapping occurrences of a piece of console text.
inline int count_of(const std::string& text, const std::string& piece) {
    int n = 0;
    for (auto at = text.find(piece); at != std::string::npos;
         at = text.find(piece, at + piece.size())) {
        ++n;
    }
    return n;
}

} // namespace test
