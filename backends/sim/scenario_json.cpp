#include "backends/sim/scenario_json.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "backends/sim/json_builder.h"
#include "backends/sim/layer_names.h"
#include "backends/sim/sim_audio_system.h"

namespace tarnwick::sim {

namespace {

// The JSON library's number for a number too large for a double.
constexpr int kNumberOverflow = 406;

std::string integerExpectation(std::int64_t min, std::int64_t max) {
    if (max == std::numeric_limits<std::int64_t>::max()) return "an integer ≥ " + std::to_string(min);
    return "an integer from " + std::to_string(min) + " to " + std::to_string(max);
}

std::string numberExpectation(double min, double max) {
    return "a number from " + numberText(min) + " to " + numberText(max);
}

// Where a syntax error sits, from the byte offset the parser reports: line
// and column (in bytes) of the character it stopped at, both from 1.
std::pair<std::size_t, std::size_t> lineAndColumn(const std::string& text, std::size_t byte) {
    std::size_t index = std::min(byte > 0 ? byte - 1 : 0, text.size());
    std::size_t line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<long>(index), '\n'));
    std::size_t lastNewline = index == 0 ? std::string::npos : text.rfind('\n', index - 1);
    std::size_t column = lastNewline == std::string::npos ? index + 1 : index - lastNewline;
    return {line, column};
}

// The parser's own wording of the problem, without its location prefix.
std::string syntaxDetail(const std::string& what) {
    std::size_t column = what.find("column ");
    std::size_t colon = what.find(": ", column == std::string::npos ? 0 : column);
    if (colon == std::string::npos) return what;
    return what.substr(colon + 2);
}

}  // namespace

void JsonReader::fail(const std::string& where, const std::string& problem) const {
    std::string message = subject_ + ": " + source_ + ": ";
    if (!where.empty()) message += where + ": ";
    message += problem;
    // One log line, whatever the scenario's strings hold.
    std::replace(message.begin(), message.end(), '\n', ' ');
    std::replace(message.begin(), message.end(), '\r', ' ');
    throw ScenarioError(message);
}

JsonDocument JsonReader::parse(const std::string& text) const {
    // The JSON library takes a NUL byte for the end of its input. Whatever
    // follows one would be ignored unseen, so the document ends at the first
    // NUL and the NUL itself is an error wherever it sits.
    const std::size_t nul = text.find('\0');
    JsonBuilder builder;
    builder.parse(std::string_view(text).substr(0, nul));
    auto at = [&text](std::size_t byte) {
        auto [line, column] = lineAndColumn(text, byte);
        return "line " + std::to_string(line) + ", column " + std::to_string(column);
    };
    if (nul != std::string::npos && (!builder.error || builder.error->byte > nul)) {
        fail("", "JSON syntax error at " + at(nul + 1) + ": unexpected NUL byte");
    }
    if (builder.error) {
        const JsonBuilder::Error& error = *builder.error;
        if (error.id == kNumberOverflow) {
            // The parser stops after the number; the message points at its start.
            const std::size_t start = error.byte >= error.token.size() ? error.byte - error.token.size() : 0;
            fail("", "JSON number out of range at " + at(start + 1) + ": " + error.token + " is too large to represent");
        }
        fail("", "JSON syntax error at " + at(error.byte) + ": " + syntaxDetail(error.what));
    }
    if (builder.duplicate) {
        fail(builder.duplicate->first, "duplicate key " + Json(builder.duplicate->second).dump());
    }
    return std::move(builder.document);
}

const Json& JsonReader::object(const Json& value, const std::string& where) const {
    if (!value.is_object()) fail(where, "expected an object, got " + describe(value));
    return value;
}

const Json& JsonReader::array(const Json& value, const std::string& where) const {
    if (!value.is_array()) fail(where, "expected an array, got " + describe(value));
    return value;
}

void JsonReader::onlyKeys(const Json& object, const std::string& where,
                          std::initializer_list<std::string_view> allowed) const {
    for (const auto& item : object.items()) {
        if (std::find(allowed.begin(), allowed.end(), item.key()) != allowed.end()) continue;
        std::string key = Json(item.key()).dump();
        if (where.empty()) fail("", "unknown top-level key " + key);
        fail(where, "unknown key " + key);
    }
}

const Json& JsonReader::required(const Json& object, const std::string& where, const char* key) const {
    auto found = object.find(key);
    if (found == object.end()) {
        std::string quoted = Json(key).dump();
        fail(where, where.empty() ? "missing required top-level key " + quoted : "missing required key " + quoted);
    }
    return *found;
}

std::int64_t JsonReader::integer(const Json& value, const std::string& where, std::int64_t min,
                                 std::int64_t max) const {
    std::string expected = integerExpectation(min, max);
    if (value.is_number_unsigned()) {
        auto v = value.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(max) || (min > 0 && v < static_cast<std::uint64_t>(min))) {
            fail(where, value.dump() + " is out of range (expected " + expected + ")");
        }
        return static_cast<std::int64_t>(v);
    }
    if (value.is_number_integer()) {
        auto v = value.get<std::int64_t>();
        if (v < min || v > max) fail(where, value.dump() + " is out of range (expected " + expected + ")");
        return v;
    }
    fail(where, "expected " + expected + ", got " + describe(value));
}

double JsonReader::number(const Json& value, const std::string& where, double min, double max) const {
    if (!value.is_number()) fail(where, "expected " + numberExpectation(min, max) + ", got " + describe(value));
    double v = value.get<double>();
    if (!std::isfinite(v) || v < min || v > max) {
        fail(where, value.dump() + " is out of range (expected " + numberExpectation(min, max) + ")");
    }
    return v;
}

bool JsonReader::boolean(const Json& value, const std::string& where) const {
    if (!value.is_boolean()) fail(where, "expected true or false, got " + describe(value));
    return value.get<bool>();
}

std::string JsonReader::string(const Json& value, const std::string& where) const {
    if (!value.is_string()) fail(where, "expected a string, got " + describe(value));
    return value.get<std::string>();
}

std::string JsonReader::member(const std::string& where, std::string_view key) {
    return where.empty() ? std::string(key) : where + "." + std::string(key);
}

std::string JsonReader::element(const std::string& where, std::size_t index) {
    return where + "[" + std::to_string(index) + "]";
}

std::string JsonReader::describe(const Json& value) {
    switch (value.type()) {
        case Json::value_t::object:
            return "an object";
        case Json::value_t::array:
            return "an array";
        case Json::value_t::string: {
            std::string text = value.dump();
            if (text.size() > 40) {
                std::size_t cut = 37;
                while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // whole UTF-8 only
                text = text.substr(0, cut) + "...";
            }
            return "the string " + text;
        }
        default:
            return value.dump();
    }
}

}  // namespace tarnwick::sim
