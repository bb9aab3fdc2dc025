#pragma once
// Builds a scenario's JSON document from the JSON library's parse events, in
// time and memory proportional to the text however deep or long it is, and
// notes the first key that an object holds twice.

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarnwick::sim {

// Scenarios keep their keys in document order so that errors name the first
// offending key as the user wrote it.
using Json = nlohmann::ordered_json;

// A parsed document that can always be released. The JSON library's own
// release of a value gathers all its descendants in a temporary list first,
// which needs memory in proportion to the document: when loading failed for
// lack of memory that allocation fails too, inside a destructor. This one
// walks down and back up with a list reserved while the document grew, as
// long as the document is deep, and allocates nothing.
class JsonDocument {
public:
    JsonDocument() = default;
    JsonDocument(JsonDocument&&) noexcept = default;
    JsonDocument& operator=(JsonDocument&&) = delete;
    ~JsonDocument() { release(); }

    Json& root() { return root_; }
    const Json& root() const { return root_; }
    // Keeps room to release a document nested `depth` containers deep.
    void reserveDepth(std::size_t depth);

private:
    void release() noexcept;

    Json root_;
    std::vector<Json*> path_;
};

class JsonBuilder {
public:
    struct Error {
        std::size_t byte;      // bytes read when the parser stopped
        std::string token;     // the text it stopped on
        int id;                // the JSON library's error number
        std::string what;      // the JSON library's message
    };

    // Parses `text` completely; the document, or what stopped it.
    void parse(std::string_view text);

    JsonDocument document;
    std::optional<Error> error;
    // Where the first repeated key sits and the key itself.
    std::optional<std::pair<std::string, std::string>> duplicate;

    // The parser's event interface.
    bool null();
    bool boolean(bool value);
    bool number_integer(Json::number_integer_t value);
    bool number_unsigned(Json::number_unsigned_t value);
    bool number_float(Json::number_float_t value, const Json::string_t& text);
    bool string(Json::string_t& value);
    bool binary(Json::binary_t& value);
    bool start_object(std::size_t elements);
    bool key(Json::string_t& value);
    bool end_object();
    bool start_array(std::size_t elements);
    bool end_array();
    bool parse_error(std::size_t position, const std::string& lastToken, const nlohmann::detail::exception& ex);

private:
    // One open object or array. Only what a duplicate's location needs is
    // kept, never a path per level, so deep nesting costs a constant per level.
    struct Frame {
        Json* container;
        std::string key;          // objects: the key of the member being read
        std::size_t count = 0;    // members or elements placed so far
        std::unordered_set<std::string> keys;  // objects: every key seen
    };

    Json* place(Json&& value);
    std::string path() const;

    std::vector<Frame> frames_;
};

}  // namespace tarnwick::sim
