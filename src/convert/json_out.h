// The output of a JSON write: the byte buffer, the rendered rows of `Rows`
// values, and the pieces of a write whose rows are left in those renderings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert/record.h"

namespace morvanta::convert::json {

// The bytes of one write, written through a raw pointer into room made ahead
// of time, so a member costs a few stores instead of a library call per
// piece. A write first measures its record (see render_json) and allocates
// once; growing stays possible, for a bound that fell short.
class Buffer {
public:
    Buffer() = default;
    ~Buffer() { std::free(data_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), p_(std::exchange(other.p_, nullptr)),
          end_(std::exchange(other.end_, nullptr)) {}
    Buffer& operator=(Buffer&&) = delete;

    // Makes room for n more bytes.
    void reserve(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
    }
    // Unchecked writes: the caller has reserved the room.
    void raw(char c) { *p_++ = c; }
    void raw(const char* data, std::size_t n) {
        if (n) std::memcpy(p_, data, n);
        p_ += n;
    }
    char*& cursor() { return p_; }

    void put(char c) {
        reserve(1);
        raw(c);
    }
    void put(std::string_view text) {
        reserve(text.size());
        raw(text.data(), text.size());
    }

    std::string_view text() const { return {data_, static_cast<std::size_t>(p_ - data_)}; }
    std::size_t size() const { return static_cast<std::size_t>(p_ - data_); }
    std::size_t capacity() const { return static_cast<std::size_t>(end_ - data_); }
    // Forgets the written bytes, keeping the buffer.
    void clear() { p_ = data_; }

private:
    void grow(std::size_t n);
    char* data_ = nullptr;
    char* p_ = nullptr;
    char* end_ = nullptr;
};

// The rendered bytes of every `Rows` table entry that a row names, made once
// per write by render_json_rows while the texts they view are valid; the
// write then copies rendered bytes and needs none of those texts.
class RenderedRows {
public:
    struct Table {
        const void* rows;   // the `Rows` value the table belongs to
        std::string bytes;  // each rendered entry followed by ',', in the order first used
        std::vector<std::pair<std::size_t, std::size_t>> spans;  // entry i's offset and size (comma excluded); size 0 when not rendered
    };
    Table& table(const void* rows) {
        for (Table& t : tables_)
            if (t.rows == rows) return t;
        return tables_.emplace_back(Table{rows, {}, {}});
    }
    // The table of a rendered `Rows` value.
    const Table& of(const void* rows) const {
        for (const Table& t : tables_)
            if (t.rows == rows) return t;
        throw std::logic_error("rows written before their table was rendered");
    }

    // The bytes of row `row` ("null" for no entry), with the comma that
    // follows every row but the last, or without it.
    static std::string_view row(const Table& table, std::uint32_t row, bool with_comma) {
        if (row == kNoRow) return with_comma ? "null," : "null";
        const auto [at, size] = table.spans[row];
        return std::string_view(table.bytes).substr(at, size + (with_comma ? 1 : 0));
    }

private:
    std::vector<Table> tables_;
};

// The output of a write whose rows were kept apart (write_json_pieces): the
// written bytes with a mark where each `Rows` value's rows stand. Joined in
// order, the pieces are exactly the bytes write_json writes; the rows stay
// in the rendered tables, so a large output is never held twice.
class Pieces {
public:
    // A piece that no other piece repeats.
    static constexpr std::size_t kUnshared = static_cast<std::size_t>(-1);

    Pieces(const RenderedRows& rendered) : rendered_(rendered) {}

    Buffer& bytes() { return bytes_; }
    void mark_rows(const void* rows_value, const std::vector<std::uint32_t>& rows) {
        const RenderedRows::Table& table = rendered_.of(rows_value);
        marks_.push_back(Mark{bytes_.size(), &table, &rows, shared_});
        shared_ += table.spans.size() + 1;
    }

    std::size_t count() const {
        std::size_t n = 1;
        for (const Mark& mark : marks_) n += 1 + mark.rows->size();
        return n;
    }
    // The number of distinct shared ids that for_each hands out.
    std::size_t shared_count() const { return shared_; }

    // Calls f(bytes, id) for each piece in order. Pieces with the same id
    // (other than kUnshared) have the same bytes: a row's entry and its comma.
    template <class F>
    bool for_each(F&& f) const {
        const std::string_view text = bytes_.text();
        std::size_t literal = 0;  // start of the literal run before the next mark
        for (const Mark& mark : marks_) {
            if (!f(text.substr(literal, mark.at - literal), kUnshared)) return false;
            literal = mark.at;
            const std::vector<std::uint32_t>& rows = *mark.rows;
            for (std::size_t k = 0; k < rows.size(); ++k) {
                const bool last = k + 1 == rows.size();
                const std::string_view bytes = RenderedRows::row(*mark.table, rows[k], !last);
                const std::size_t id = mark.first_id + (rows[k] == kNoRow ? 0 : std::size_t{rows[k]} + 1);
                if (!f(bytes, last ? kUnshared : id)) return false;
            }
        }
        return f(text.substr(literal), kUnshared);
    }

private:
    struct Mark {
        std::size_t at;                          // offset in the bytes where the rows stand
        const RenderedRows::Table* table;        // their rendered entries
        const std::vector<std::uint32_t>* rows;  // the row list of the value written
        std::size_t first_id;                    // shared id of "null," in this table; entry i's is first_id + i + 1
    };
    const RenderedRows& rendered_;
    Buffer bytes_;
    std::vector<Mark> marks_;
    std::size_t shared_ = 0;
};

}  // namespace morvanta::convert::json
