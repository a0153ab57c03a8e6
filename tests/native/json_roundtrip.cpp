// Test driver for the JSON reader and writer, with no interpreter involved.
//
//   json_roundtrip read TYPE       stdin: JSON text. Prints "ok " and the record
//                                  written back as JSON, or "err " and the message.
//   json_roundtrip floats          stdin: one 64-bit pattern per line (hex); prints
//                                  each double as the writer writes it.
//   json_roundtrip ints V...       prints an EmiTotals whose fields are V... (zero-padded).
//   json_roundtrip digits [STEP]   holds the integer writer against std::to_chars; prints
//                                  the values checked and the number written wrong.
//   json_roundtrip text            stdin: raw bytes; prints them written as a JSON string.
//   json_roundtrip response        stdin: lines "-" (no match) or "category<TAB>merchant";
//                                  prints the CategorizeResponse.
// Every printed result is also written with its rows kept apart, as the
// module writes a large output, and the joined pieces must equal it.
//   json_roundtrip categorize     stdin: a CategorizeRequest. Prints the outcome of a whole
//                                  read and the engine, then on a second line the outcome of
//                                  the two-pass read that matches narrations as it meets
//                                  them, or "fallback" where that one leaves the request to
//                                  a whole read; on a third line the same read of the text
//                                  fed a few bytes at a time through a small window.
//   json_roundtrip result [Y M]    prints a small fixed EmiResult, with a start month when given.
//   json_roundtrip bench-read TYPE N   stdin: JSON text; reads it N times, prints ns per read.
//   json_roundtrip bench-write N   writes a 600-month EmiResult N times, prints ns per write and size.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "categorizer/engine.h"
#include "categorizer/model.h"
#include "convert/categorize_json.h"
#include "convert/json_reader.h"
#include "convert/json_writer.h"
#include "emi/model.h"
#include "util/digits.h"

using namespace morvanta;

namespace {

std::string read_stdin() {
    std::ostringstream ss;
    ss << std::cin.rdbuf();
    return ss.str();
}

// The output of a write with its rows kept apart, joined as the module joins it.
std::string joined(const convert::json::Pieces& pieces) {
    std::string text;
    std::vector<std::string_view> shared(pieces.shared_count());
    pieces.for_each([&](std::string_view bytes, std::size_t id) {
        if (id != convert::json::Pieces::kUnshared) {
            // Every piece with this id must have the bytes of the first.
            if (shared[id].data() && shared[id] != bytes) std::exit(5);
            shared[id] = bytes;
        }
        text.append(bytes);
        return true;
    });
    return text;
}

template <class T>
void print_json(const T& record) {
    // As the module writes: measured first, into one buffer that never grows.
    convert::json::RenderedRows rendered;
    convert::json::Buffer out;
    const std::size_t size = convert::render_json(record, rendered);
    out.reserve(size);
    const std::size_t room = out.capacity();
    convert::write_json(record, rendered, out);
    const std::string_view text = out.text();
    if (text.size() + convert::json::kWriteSlack != size || out.capacity() != room) {
        std::fprintf(stderr, "measured %zu bytes, wrote %zu\n", size - convert::json::kWriteSlack, text.size());
        std::exit(3);
    }
    // A large output is joined from pieces instead: the same bytes.
    if (joined(convert::write_json_pieces(record, rendered)) != text) {
        std::fprintf(stderr, "joined pieces differ from the single-buffer output\n");
        std::exit(4);
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
}

template <class T>
int roundtrip(const std::string& text) {
    TextArena arena;
    auto r = convert::read_json<T>(text, arena);
    std::string out;
    if (r) {
        out = "ok ";
        convert::write_json(*r, out);
    } else {
        out = "err " + r.error().message;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

std::string read_failure(const convert::ReadError& error) { return "err " + error.message + " | " + error.note; }

std::string response_text(const categorizer::CategorizeResponse& response) {
    std::string out = "ok ";
    convert::write_json(response, out);
    return out;
}

int categorize_both_ways(const std::string& text) {
    std::string whole;
    {
        TextArena arena;
        auto request = convert::read_json<categorizer::CategorizeRequest>(text, arena);
        if (!request) {
            whole = read_failure(request.error());
        } else {
            auto response = categorizer::categorize_transactions(*request);
            whole = response ? response_text(*response) : "err " + response.error().text();
        }
    }
    TextArena arena;
    const auto streamed = convert::TwoPassRead<categorizer::CategorizeRequest>::run(convert::json::Input::whole(text), arena);
    const std::string two_pass = !streamed ? "fallback" : *streamed ? response_text(**streamed) : read_failure(streamed->error());
    // Fed 5 bytes at a time into room for the text alone, with a window of
    // 48 bytes whose elements' room is reused every 64.
    std::vector<unsigned char> room(text.size());
    convert::json::PiecesSource source(text, 5);
    convert::json::Input input = convert::json::Input::fed(source, room);
    input.ahead = 48;
    input.release = 64;
    TextArena fed_arena;
    const auto fed = convert::TwoPassRead<categorizer::CategorizeRequest>::run(input, fed_arena);
    const std::string fed_text = !fed ? "fallback" : *fed ? response_text(**fed) : read_failure(fed->error());
    std::printf("%s\n%s\n%s\n", whole.c_str(), two_pass.c_str(), fed_text.c_str());
    return 0;
}

template <class T>
int bench_read(const std::string& text, long n) {
    std::size_t sink = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < n; ++i) {
        TextArena arena;
        auto r = convert::read_json<T>(text, arena);
        if (!r) {
            std::printf("err %s\n", r.error().message.c_str());
            return 1;
        }
        sink += sizeof(*r);
    }
    auto t1 = std::chrono::steady_clock::now();
    std::printf("%.1f %zu\n", std::chrono::duration<double, std::nano>(t1 - t0).count() / n, sink > 0 ? text.size() : 0);
    return 0;
}

template <class F>
int dispatch_type(const std::string& type, F&& f) {
    using namespace morvanta::categorizer;
    if (type == "EmiRequest") return f(emi::EmiRequest{});
    if (type == "CategorizeRequest") return f(CategorizeRequest{});
    if (type == "DeriveRulesRequest") return f(DeriveRulesRequest{});
    if (type == "CategoryRule") return f(CategoryRule{});
    if (type == "MapInput") return f(MapInput{});
    if (type == "DeriveInput") return f(DeriveInput{});
    std::fprintf(stderr, "unknown type %s\n", type.c_str());
    return 2;
}

emi::EmiResult sample_result(std::optional<emi::YearMonth> start, std::uint32_t months) {
    emi::EmiResult r;
    r.mode = emi::EmiMode::Tenure;
    r.loanAmount = 100000;
    r.emi = -5;
    r.months = months;
    r.interestRate = 10.5;
    r.inflationRate = 0.0;
    r.start = start;
    r.totals = {INT64_MIN, INT64_MAX, 0, -1, 1234567890123, 99};
    for (std::uint32_t i = 0; i < months; ++i) {
        emi::EmiMonth m;
        m.index = i;
        if (start) {
            m.year = start->year + static_cast<std::int32_t>((start->month - 1 + i) / 12);
            m.month = (start->month - 1 + i) % 12 + 1;
        }
        m.emi = 8885;
        m.principal = 7885 + i;
        m.interest = 1000 - i;
        m.outstanding = 92115 - 7885 * static_cast<std::int64_t>(i);
        m.realEmi = 8849;
        m.realPrincipal = 7853;
        m.realInterest = 996;
        m.remainingEmi = 8885 * static_cast<std::int64_t>(months - 1 - i);
        m.realRemainingEmi = 0;
        r.schedule.push_back(m);
    }
    if (start) {
        emi::EmiYear y;
        y.year = start->year;
        y.months.resize(12);
        y.months[start->month - 1] = emi::EmiYearMonth{8885, 8849};
        y.nominalTotal = 8885;
        y.realTotal = 8849;
        y.closingOutstanding = 92115;
        r.years.push_back(y);
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string cmd = argv[1];
    if (cmd == "read" && argc == 3) {
        const std::string text = read_stdin();
        return dispatch_type(argv[2], [&](auto proto) { return roundtrip<decltype(proto)>(text); });
    }
    if (cmd == "categorize") return categorize_both_ways(read_stdin());
    if (cmd == "floats") {
        std::string line, out;
        while (std::getline(std::cin, line)) {
            const std::uint64_t bits = std::strtoull(line.c_str(), nullptr, 16);
            double v;
            std::memcpy(&v, &bits, sizeof v);
            convert::json::append_float(v, out);
            out += '\n';
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        return 0;
    }
    if (cmd == "ints") {
        std::int64_t v[6] = {};
        for (int i = 2; i < argc && i < 8; ++i) v[i - 2] = std::strtoll(argv[i], nullptr, 10);
        const emi::EmiTotals t{v[0], v[1], v[2], v[3], v[4], v[5]};
        print_json(t);
        return 0;
    }
    if (cmd == "digits") {
        // digits::write against std::to_chars: every value below 10^8 `step`
        // apart, and the thousand values on each side of every power of ten.
        const std::uint64_t step = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
        std::uint64_t checked = 0, wrong = 0;
        const auto check = [&](std::uint64_t v) {
            char a[digits::kWriteRoom], b[24];
            const char* end = digits::write(v, a);
            const std::to_chars_result want = std::to_chars(b, b + sizeof b, v);
            ++checked;
            if (end - a != want.ptr - b || std::memcmp(a, b, static_cast<std::size_t>(end - a)) != 0) ++wrong;
        };
        for (std::uint64_t v = 0; v < 100000000u; v += step) check(v);
        for (std::uint64_t p = 10;; p *= 10) {
            for (std::uint64_t d = 0; d < 1000; ++d) {
                if (d < p) check(p - 1 - d);
                check(p + d);  // p is at most 10^19, far below UINT64_MAX - 1000
            }
            if (p > UINT64_MAX / 10) break;
        }
        for (std::uint64_t d = 0; d < 1000; ++d) check(UINT64_MAX - d);
        std::printf("%" PRIu64 " %" PRIu64 "\n", checked, wrong);
        return 0;
    }
    if (cmd == "text") {
        const std::string text = read_stdin();
        print_json(categorizer::MapOutput{text, ""});
        return 0;
    }
    if (cmd == "response") {
        // One table entry per distinct matched line, as if each were its own
        // rule: a line seen before names the same entry.
        categorizer::CategorizeResponse resp;
        std::vector<std::string> lines;
        for (std::string line; std::getline(std::cin, line);) lines.push_back(line);
        for (std::size_t k = 0; k < lines.size(); ++k) {
            const std::string_view text = lines[k];
            const auto first = std::find(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(k), lines[k]);
            if (text == "-") {
                resp.data.rows.push_back(convert::Rows<categorizer::MapOutput>::none);
            } else if (first != lines.begin() + static_cast<std::ptrdiff_t>(k)) {
                resp.data.rows.push_back(resp.data.rows[static_cast<std::size_t>(first - lines.begin())]);
            } else {
                const auto tab = text.find('\t');
                resp.data.rows.push_back(static_cast<std::uint32_t>(resp.data.table.size()));
                resp.data.table.push_back(categorizer::MapOutput{text.substr(0, tab), text.substr(tab + 1)});
            }
        }
        print_json(resp);
        return 0;
    }
    if (cmd == "result") {
        std::optional<emi::YearMonth> start;
        if (argc == 4) start = emi::YearMonth::make(std::atoi(argv[2]), static_cast<std::uint32_t>(std::atoi(argv[3])));
        print_json(sample_result(start, 2));
        return 0;
    }
    if (cmd == "bench-read" && argc == 4) {
        const std::string text = read_stdin();
        const long n = std::atol(argv[3]);
        return dispatch_type(argv[2], [&](auto proto) { return bench_read<decltype(proto)>(text, n); });
    }
    if (cmd == "bench-write" && argc == 3) {
        const long n = std::atol(argv[2]);
        const emi::EmiResult r = sample_result(emi::YearMonth{2024, 11}, 600);
        std::size_t size = 0;
        auto t0 = std::chrono::steady_clock::now();
        for (long i = 0; i < n; ++i) {
            std::string out;
            out.reserve(128);
            convert::write_json(r, out);
            size = out.size();
        }
        auto t1 = std::chrono::steady_clock::now();
        std::printf("%.1f %zu\n", std::chrono::duration<double, std::nano>(t1 - t0).count() / n, size);
        return 0;
    }
    return 2;
}
