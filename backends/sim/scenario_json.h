#pragma once
// Typed, located reads from the scenario's JSON: each one checks type and range
// and, when the value does not fit, throws ScenarioError with a message that
// names the file, where in the scenario the value sits and what was wrong.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "backends/sim/json_builder.h"

namespace tarnwick::sim {


class JsonReader {
public:
    // `subject` opens every message: what the file is for.
    explicit JsonReader(std::string sourceName, std::string subject = "simulated audio")
        : source_(std::move(sourceName)), subject_(std::move(subject)) {}

    const std::string& source() const { return source_; }

    // Throws ScenarioError "<subject>: <source>: [<where>: ]<problem>".
    [[noreturn]] void fail(const std::string& where, const std::string& problem) const;

    // Parses the text; syntax errors carry line and column, duplicate keys
    // inside one object are errors too.
    JsonDocument parse(const std::string& text) const;

    const Json& object(const Json& value, const std::string& where) const;
    const Json& array(const Json& value, const std::string& where) const;
    // Every key of `object` must be one of `allowed`.
    void onlyKeys(const Json& object, const std::string& where, std::initializer_list<std::string_view> allowed) const;
    const Json& required(const Json& object, const std::string& where, const char* key) const;

    std::int64_t integer(const Json& value, const std::string& where, std::int64_t min, std::int64_t max) const;
    double number(const Json& value, const std::string& where, double min, double max) const;
    bool boolean(const Json& value, const std::string& where) const;
    std::string string(const Json& value, const std::string& where) const;

    static std::string member(const std::string& where, std::string_view key);
    static std::string element(const std::string& where, std::size_t index);
    // How a value appears in a message: its JSON text, shortened when long.
    static std::string describe(const Json& value);

private:
    std::string source_;
    std::string subject_;
};

}  // namespace tarnwick::sim
