#include "backends/sim/json_builder.h"

#include <algorithm>

#include "backends/sim/scenario_json.h"

namespace tarnwick::sim {

void JsonDocument::reserveDepth(std::size_t depth) {
    if (path_.capacity() < depth) path_.reserve(std::max(depth, 2 * path_.capacity()));
}

void JsonDocument::release() noexcept {
    auto lastChild = [](Json& node) -> Json& {
        if (node.is_array()) return node.get_ptr<Json::array_t*>()->back();
        return static_cast<Json::object_t::Container&>(*node.get_ptr<Json::object_t*>()).back().second;
    };
    auto dropLastChild = [](Json& node) {
        if (node.is_array()) {
            node.get_ptr<Json::array_t*>()->pop_back();
        } else {
            static_cast<Json::object_t::Container&>(*node.get_ptr<Json::object_t*>()).pop_back();
        }
    };
    auto filled = [](const Json& node) { return node.is_structured() && !node.empty(); };
    // Every container on the path is non-empty; the deepest one loses its
    // last child once that child is a scalar or an empty container, whose
    // release allocates nothing.
    if (filled(root_)) path_.push_back(&root_);
    while (!path_.empty()) {
        Json& node = *path_.back();
        if (!filled(node)) {
            path_.pop_back();
            continue;
        }
        Json& child = lastChild(node);
        if (filled(child)) {
            path_.push_back(&child);  // within the reserved depth
        } else {
            dropLastChild(node);
        }
    }
}

void JsonBuilder::parse(std::string_view text) {
    Json::sax_parse(text.begin(), text.end(), this, nlohmann::json::input_format_t::json, true, false);
}

Json* JsonBuilder::place(Json&& value) {
    if (frames_.empty()) {
        document.root() = std::move(value);
        return &document.root();
    }
    Frame& top = frames_.back();
    ++top.count;
    if (top.container->is_array()) {
        auto& elements = *top.container->get_ptr<Json::array_t*>();
        elements.push_back(std::move(value));
        return &elements.back();
    }
    // Appended to the ordered map's storage directly: its own insertion
    // searches every earlier key, which makes long objects quadratic.
    // Duplicates are found here instead, through `keys`.
    auto& members = static_cast<Json::object_t::Container&>(*top.container->get_ptr<Json::object_t*>());
    members.emplace_back(top.key, std::move(value));
    return &members.back().second;
}

std::string JsonBuilder::path() const {
    // The innermost frame is the object that holds the duplicate; each outer
    // one names the member or element that leads into the next.
    std::string where;
    for (std::size_t i = 0; i + 1 < frames_.size(); ++i) {
        const Frame& frame = frames_[i];
        where = frame.container->is_object() ? JsonReader::member(where, frame.key)
                                             : JsonReader::element(where, frame.count - 1);
    }
    return where;
}

bool JsonBuilder::null() { return place(Json()) != nullptr; }
bool JsonBuilder::boolean(bool value) { return place(Json(value)) != nullptr; }
bool JsonBuilder::number_integer(Json::number_integer_t value) { return place(Json(value)) != nullptr; }
bool JsonBuilder::number_unsigned(Json::number_unsigned_t value) { return place(Json(value)) != nullptr; }
bool JsonBuilder::number_float(Json::number_float_t value, const Json::string_t&) {
    return place(Json(value)) != nullptr;
}
bool JsonBuilder::string(Json::string_t& value) { return place(Json(std::move(value))) != nullptr; }
bool JsonBuilder::binary(Json::binary_t& value) { return place(Json(std::move(value))) != nullptr; }

bool JsonBuilder::start_object(std::size_t) {
    document.reserveDepth(frames_.size() + 1);
    frames_.push_back(Frame{place(Json::object()), {}, 0, {}});
    return true;
}

bool JsonBuilder::key(Json::string_t& value) {
    Frame& top = frames_.back();
    if (!top.keys.insert(value).second && !duplicate) duplicate.emplace(path(), value);
    top.key = std::move(value);
    return true;
}

bool JsonBuilder::end_object() {
    frames_.pop_back();
    return true;
}

bool JsonBuilder::start_array(std::size_t) {
    document.reserveDepth(frames_.size() + 1);
    frames_.push_back(Frame{place(Json::array()), {}, 0, {}});
    return true;
}

bool JsonBuilder::end_array() {
    frames_.pop_back();
    return true;
}

bool JsonBuilder::parse_error(std::size_t position, const std::string& lastToken,
                              const nlohmann::detail::exception& ex) {
    error = Error{position, lastToken, ex.id, ex.what()};
    return false;
}

}  // namespace tarnwick::sim
