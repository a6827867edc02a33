#include "tools/sf_tool/inspect_json.h"

#include <cinttypes>
#include <type_traits>
#include <vector>

#include "tools/sf_tool/inspect_print.h"

namespace {

// The length of the UTF-8 sequence at text[i], or 0 when none starts there.
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    std::size_t length = 0;
    unsigned lowest = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2, lowest = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3, lowest = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4, lowest = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    unsigned value = c & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are no UTF-8.
    if (value < lowest || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
    return length;
}

// Writes a JSON document a value at a time; commas are placed by the writer.
class JsonWriter {
public:
    explicit JsonWriter(std::FILE* out) : out_(out) {}

    void open(char bracket) {
        separate();
        std::fputc(bracket, out_);
        first_.push_back(true);
    }
    void close(char bracket) {
        first_.pop_back();
        std::fputc(bracket, out_);
    }
    void key(std::string_view name) {
        separate();
        std::fprintf(out_, "%s:", jsonString(name).c_str());
        afterKey_ = true;
    }
    void string(std::string_view text) {
        separate();
        std::fputs(jsonString(text).c_str(), out_);
    }
    void number(std::int64_t value) {
        separate();
        std::fprintf(out_, "%" PRId64, value);
    }
    void unsignedNumber(std::uint64_t value) {
        separate();
        std::fprintf(out_, "%" PRIu64, value);
    }
    void boolean(bool value) {
        separate();
        std::fputs(value ? "true" : "false", out_);
    }
    void null() {
        separate();
        std::fputs("null", out_);
    }

    template <typename T>
    void field(std::string_view name, const T& value) {
        key(name);
        if constexpr (std::is_same_v<T, bool>) {
            boolean(value);
        } else if constexpr (std::is_convertible_v<T, std::string_view>) {
            string(value);
        } else if constexpr (std::is_unsigned_v<T>) {
            unsignedNumber(value);
        } else {
            number(value);
        }
    }

private:
    void separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (first_.empty()) return;
        if (!first_.back()) std::fputc(',', out_);
        first_.back() = false;
    }

    std::FILE* out_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

void writeCrc(JsonWriter& json, std::string_view name, bool good, std::uint32_t stored, std::uint32_t computed) {
    json.key(name);
    json.open('{');
    json.field("good", good);
    json.field("stored", hex32(stored));
    json.field("computed", hex32(computed));
    json.close('}');
}

void writeHeader(JsonWriter& json, const HeaderCheck& check) {
    json.key("header");
    json.open('{');
    if (check.type < 0) {
        json.key("type");
        json.null();
        json.close('}');
        return;
    }
    json.field("type", std::int64_t{check.type});
    json.field("blockSize", check.blockSize);
    json.field("headerLength", 2 * check.blockSize + 8);
    writeCrc(json, "primaryCrc", check.primaryCrcGood, check.primaryStored, check.primaryComputed);
    writeCrc(json, "backupCrc", check.backupCrcGood, check.backupStored, check.backupComputed);
    json.field("blocksEqual", check.blocksEqual);
    json.field("blockInUse", check.usingBackup ? "backup" : "primary");
    const StoreFileHeader& h = check.header;
    json.field("magic", hex32(h.magic));
    json.field("revision", h.revision);
    json.field("firstMsgOffset", h.firstMsgOffset);
    json.field("lastMsgOffset", h.lastMsgOffset);
    json.field("msgCount", h.msgCount);
    json.field("forwardedCount", h.forwardedCount);
    json.field("offset48", h.offset48);
    json.field("lastOffset", h.lastOffset);
    json.field("forwardOffset", h.forwardOffset);
    json.field("wrapped", h.wrapped);
    json.field("maxSize", h.maxSize);
    json.field("reading", h.maxSize != 0 ? "ring" : "linear");
    json.close('}');
}

void writeEvents(JsonWriter& json, const InspectReport& report) {
    char name[32];
    json.key("records");
    json.open('[');
    for (const WalkEvent& event : report.events) {
        if (event.kind != WalkEventKind::Record && event.kind != WalkEventKind::BadHead) continue;
        json.open('{');
        json.field("offset", event.offset);
        json.field("length", event.size);
        json.field("type", transTypeName(event.transType, name));
        json.field("headCrcGood", event.headCrcGood);
        const bool delivered = event.kind == WalkEventKind::Record;
        json.field("delivered", delivered);  // false: a bad head or body the search steps over
        json.field("forwarded", delivered && !event.takenOutUnsent);
        json.field("parses", delivered && event.parses);
        json.field("note", delivered ? event.forwardNote : event.note);
        json.close('}');
    }
    json.close(']');
    json.key("damaged");
    json.open('[');
    for (const WalkEvent& event : report.events) {
        if (event.kind != WalkEventKind::Damaged) continue;
        json.open('{');
        json.field("offset", event.offset);
        json.field("length", event.size);
        json.field("reason", event.note);
        json.close('}');
    }
    json.close(']');
    json.key("wraps");
    json.open('[');
    for (const WalkEvent& event : report.events) {
        if (event.kind == WalkEventKind::Wrap) json.number(event.offset);
    }
    json.close(']');
}

void writeStrings(JsonWriter& json, std::string_view name, const std::vector<std::string>& texts) {
    json.key(name);
    json.open('[');
    for (const std::string& text : texts) json.string(text);
    json.close(']');
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            out += escaped;
        } else if (c >= 0x80) {
            const std::size_t length = utf8Length(text, i);
            if (length == 0) {
                out += "\\uFFFD";
                ++i;
                continue;
            }
            out.append(text.substr(i, length));
            i += length;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

void printInspectJson(const InspectReport& report, bool summaryOnly, std::FILE* out) {
    JsonWriter json(out);
    json.open('{');
    json.field("file", report.path);
    json.field("size", report.fileSize);
    writeHeader(json, report.check);
    json.key("startupRefusal");
    if (report.startupRefusal.empty()) {
        json.null();
    } else {
        json.string(report.startupRefusal);
    }
    json.field("walked", report.walked);
    if (report.walked) {
        json.field("walkedFrom", report.walkedWithDefaultHeader ? std::int64_t{kType2HeaderLength}
                                                                : report.check.header.forwardOffset);
        json.field("walkedAsDump", report.walkedWithDefaultHeader);
    }
    if (!summaryOnly) writeEvents(json, report);
    json.key("totals");
    json.open('{');
    json.field("records", report.records);
    json.field("recordBytes", report.recordBytes);
    json.field("forwarded", report.forwarded());
    json.field("takenOutUnsent", report.takenOutUnsent);
    json.field("unparsable", report.unparsable);
    json.field("damagedRanges", report.damagedRanges);
    json.field("damagedBytes", report.damagedBytes);
    json.close('}');
    json.field("recovery", recoveryOutcome(report));
    writeStrings(json, "notes", report.notes);
    writeStrings(json, "problems", report.problems);
    json.field("verdict", report.sound() ? "sound" : "damaged");
    json.close('}');
    std::fputc('\n', out);
    std::fflush(out);
}
