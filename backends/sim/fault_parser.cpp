#include "backends/sim/fault_parser.h"

#include <limits>

namespace tarnwick::sim {

namespace {
constexpr std::int64_t kNoMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kStatusMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kStatusMax = std::numeric_limits<std::int32_t>::max();

std::string quote(const std::string& text) { return Json(text).dump(); }
}  // namespace

FaultSpec parseFault(const JsonReader& reader, const Json& value, const std::string& where) {
    reader.object(value, where);
    reader.onlyKeys(value, where, {"call", "property", "scope", "status", "null_result", "after", "times"});
    FaultSpec f;
    std::string callWhere = JsonReader::member(where, "call");
    std::string name = reader.string(reader.required(value, where, "call"), callWhere);
    auto call = callFromName(name);
    if (!call) reader.fail(callWhere, "unknown call " + quote(name));
    f.call = *call;
    bool filterable = propertyKindOf(f.call) != PropertyKind::none;
    if (auto found = value.find("property"); found != value.end()) {
        std::string w = JsonReader::member(where, "property");
        if (!filterable) reader.fail(w, name + " has no property to filter on");
        if (found->is_string()) {
            std::string code = found->get<std::string>();
            if (code.size() != 4) {
                reader.fail(w, "expected an integer or a four-character code, got " + JsonReader::describe(*found));
            }
            f.property = (UInt32(static_cast<unsigned char>(code[0])) << 24) |
                         (UInt32(static_cast<unsigned char>(code[1])) << 16) |
                         (UInt32(static_cast<unsigned char>(code[2])) << 8) | UInt32(static_cast<unsigned char>(code[3]));
        } else if (found->is_number()) {
            f.property = static_cast<UInt32>(reader.integer(*found, w, 0, std::numeric_limits<UInt32>::max()));
        } else {
            reader.fail(w, "expected an integer or a four-character code, got " + JsonReader::describe(*found));
        }
    }
    if (auto found = value.find("scope"); found != value.end()) {
        std::string w = JsonReader::member(where, "scope");
        if (!filterable) reader.fail(w, name + " has no scope to filter on");
        std::string scope = reader.string(*found, w);
        if (scope == "global") {
            f.scope = FaultScope::global;
        } else if (scope == "input") {
            f.scope = FaultScope::input;
        } else if (scope == "output") {
            f.scope = FaultScope::output;
        } else {
            reader.fail(w, "unknown scope " + quote(scope) + " (expected global, input or output)");
        }
    }
    if (auto found = value.find("status"); found != value.end()) {
        f.status = static_cast<OSStatus>(reader.integer(*found, JsonReader::member(where, "status"), kStatusMin, kStatusMax));
    }
    if (auto found = value.find("null_result"); found != value.end()) {
        f.nullResult = reader.boolean(*found, JsonReader::member(where, "null_result"));
    }
    if (auto found = value.find("after"); found != value.end()) {
        f.after = static_cast<std::uint64_t>(reader.integer(*found, JsonReader::member(where, "after"), 0, kNoMax));
    }
    if (auto found = value.find("times"); found != value.end()) {
        f.times = static_cast<std::uint64_t>(reader.integer(*found, JsonReader::member(where, "times"), 0, kNoMax));
    }
    return f;
}

std::vector<FaultSpec> parseFaultList(const std::string& text, const std::string& sourceName) {
    JsonReader reader(sourceName, "injected faults");
    JsonDocument document = reader.parse(text);
    const Json& root = document.root();
    if (!root.is_array()) reader.fail("", "the faults must be a JSON array, got " + JsonReader::describe(root));
    std::vector<FaultSpec> faults;
    for (std::size_t i = 0; i < root.size(); ++i) faults.push_back(parseFault(reader, root[i], JsonReader::element("", i)));
    return faults;
}

}  // namespace tarnwick::sim
