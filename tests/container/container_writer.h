// Builds image containers byte by byte in memory, one record at a time, for the reader's tests
// and for the fuzzer's seed corpus. Fields the reader must not interpret are given bytes with
// distinct values, so that a reader that takes them for something else goes wrong visibly.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace container_test {

using bytes = std::vector<std::uint8_t>;

struct record {
    std::uint8_t type = 0;
    bytes data;
    bytes extension;
    // The length fields as written; by default the sizes of extension and data. Set them to
    // write a record that claims more or less than it holds.
    std::optional<std::uint32_t> data_length;
    std::optional<std::uint8_t> extension_length;
    std::array<std::uint8_t, 3> magic = {0x7F, 0xF0, 0x55};
    std::array<std::uint8_t, 6> reserved = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}; // bytes 4..9
    std::array<std::uint8_t, 2> gap = {0xB0, 0xB1};     // between extension and data length
    std::array<std::uint8_t, 2> closing = {0xC0, 0xC1}; // after the data
    bool closed = true;                                 // false: the closing bytes are left out
};

inline record rec(std::uint8_t type, bytes data, bytes extension = {}) {
    record r;
    r.type = type;
    r.data = std::move(data);
    r.extension = std::move(extension);
    return r;
}

// r with a data length field that differs from the data it holds.
inline record claiming(record r, std::uint32_t data_length) {
    r.data_length = data_length;
    return r;
}

// r without its closing bytes.
inline record unclosed(record r) {
    r.closed = false;
    return r;
}

inline void append_bytes(bytes& out, const bytes& raw) {
    out.insert(out.end(), raw.begin(), raw.end());
}

inline void append_le32(bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

inline void append_record(bytes& out, const record& r) {
    out.insert(out.end(), r.magic.begin(), r.magic.end());
    out.push_back(r.type);
    out.insert(out.end(), r.reserved.begin(), r.reserved.end());
    out.push_back(r.extension_length.value_or(static_cast<std::uint8_t>(r.extension.size())));
    append_bytes(out, r.extension);
    out.insert(out.end(), r.gap.begin(), r.gap.end());
    append_le32(out, r.data_length.value_or(static_cast<std::uint32_t>(r.data.size())));
    append_bytes(out, r.data);
    if (r.closed) {
        out.insert(out.end(), r.closing.begin(), r.closing.end());
    }
}

inline bytes records(const std::vector<record>& list) {
    bytes out;
    for (const record& r : list) {
        append_record(out, r);
    }
    return out;
}

// count bytes that differ from their neighbours, starting at first.
inline bytes pattern(std::size_t count, std::uint8_t first) {
    bytes out(count);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<std::uint8_t>(first + 7 * i);
    }
    return out;
}

// The first count bytes of b.
inline bytes cut(bytes b, std::size_t count) {
    b.resize(std::min(count, b.size()));
    return b;
}

} // namespace container_test
