#include "backends/coreaudio/aggregate_description.h"

#include <CoreAudio/CoreAudio.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace tarnwick::coreaudio {

namespace {

// Which of Apple's keys a member name stands for depends on where it sits:
// "uid" names the aggregate at the top, a sub-device inside "subdevices" and
// a tap inside "taps".
// A flag's value is a CFNumber 0 or 1, the type Apple's headers give; the
// platform is not documented to read a CFBoolean there, and one it ignored
// would leave the aggregate public, not auto-started, without drift
// compensation.
enum class Level { aggregate, subDevice, subTap, flag, other };

struct KeyName {
    const char* member;
    const char* key;
    Level children;  // what the entries of an array under this key are
};

constexpr KeyName aggregateKeys[] = {
    {"name", kAudioAggregateDeviceNameKey, Level::other},
    {"uid", kAudioAggregateDeviceUIDKey, Level::other},
    {"master", kAudioAggregateDeviceMainSubDeviceKey, Level::other},
    {"clock", kAudioAggregateDeviceClockDeviceKey, Level::other},
    {"private", kAudioAggregateDeviceIsPrivateKey, Level::flag},
    {"stacked", kAudioAggregateDeviceIsStackedKey, Level::flag},
    {"tapautostart", kAudioAggregateDeviceTapAutoStartKey, Level::flag},
    {"subdevices", kAudioAggregateDeviceSubDeviceListKey, Level::subDevice},
    {"taps", kAudioAggregateDeviceTapListKey, Level::subTap},
};
constexpr KeyName subDeviceKeys[] = {{"uid", kAudioSubDeviceUIDKey, Level::other}};
constexpr KeyName subTapKeys[] = {
    {"uid", kAudioSubTapUIDKey, Level::other},
    {"drift", kAudioSubTapDriftCompensationKey, Level::flag},
};

template <std::size_t N>
const KeyName* find(const KeyName (&table)[N], const std::string& member) {
    for (const KeyName& entry : table) {
        if (member == entry.member) return &entry;
    }
    return nullptr;
}

const KeyName* keyFor(Level level, const std::string& member) {
    switch (level) {
        case Level::aggregate:
            return find(aggregateKeys, member);
        case Level::subDevice:
            return find(subDeviceKeys, member);
        case Level::subTap:
            return find(subTapKeys, member);
        case Level::flag:
        case Level::other:
            break;
    }
    return nullptr;
}

CFRef<CFTypeRef> value(const nlohmann::json& json, Level level);

CFRef<CFTypeRef> number(CFNumberType type, const void* value) {
    return CFRef<CFTypeRef>(CFNumberCreate(kCFAllocatorDefault, type, value));
}

CFRef<CFTypeRef> dictionary(const nlohmann::json& json, Level level) {
    CFRef<CFTypeRef> dict(CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                    &kCFTypeDictionaryValueCallBacks));
    if (!dict) return dict;
    auto* mutableDict = static_cast<CFMutableDictionaryRef>(const_cast<void*>(dict.get()));
    for (const auto& [member, item] : json.items()) {
        const KeyName* known = keyFor(level, member);
        // Members without an Apple constant keep their own name.
        CFRef<CFStringRef> key = makeString(known ? known->key : member);
        CFRef<CFTypeRef> converted = value(item, known ? known->children : Level::other);
        if (!key || !converted) return CFRef<CFTypeRef>();
        CFDictionarySetValue(mutableDict, key.get(), converted.get());
    }
    return dict;
}

CFRef<CFTypeRef> array(const nlohmann::json& json, Level entries) {
    std::vector<CFRef<CFTypeRef>> owned;
    std::vector<const void*> values;
    owned.reserve(json.size());
    for (const auto& item : json) {
        owned.push_back(value(item, entries));
        if (!owned.back()) return CFRef<CFTypeRef>();
        values.push_back(owned.back().get());
    }
    return CFRef<CFTypeRef>(CFArrayCreate(kCFAllocatorDefault, values.data(), static_cast<CFIndex>(values.size()),
                                          &kCFTypeArrayCallBacks));
}

// true/false and 0/1 alike; anything else is no flag and makes no description.
CFRef<CFTypeRef> flag(const nlohmann::json& json) {
    SInt32 on = 0;
    if (json.is_boolean()) {
        on = json.get<bool>() ? 1 : 0;
    } else if (json.is_number_integer() && (json.get<std::int64_t>() == 0 || json.get<std::int64_t>() == 1)) {
        on = static_cast<SInt32>(json.get<std::int64_t>());
    } else {
        return CFRef<CFTypeRef>();
    }
    return number(kCFNumberSInt32Type, &on);
}

CFRef<CFTypeRef> value(const nlohmann::json& json, Level level) {
    if (level == Level::flag) return flag(json);
    switch (json.type()) {
        case nlohmann::json::value_t::object:
            return dictionary(json, level);
        case nlohmann::json::value_t::array:
            return array(json, level);
        case nlohmann::json::value_t::string: {
            CFRef<CFStringRef> text = makeString(json.get_ref<const std::string&>());
            return CFRef<CFTypeRef>(text ? CFRetain(text.get()) : nullptr);
        }
        case nlohmann::json::value_t::boolean:
            // The shared constants are never released; the reference we
            // hand out is an extra one, balanced by CFRef.
            return CFRef<CFTypeRef>(CFRetain(json.get<bool>() ? kCFBooleanTrue : kCFBooleanFalse));
        case nlohmann::json::value_t::number_integer: {
            const SInt64 n = json.get<std::int64_t>();
            return number(kCFNumberSInt64Type, &n);
        }
        case nlohmann::json::value_t::number_unsigned: {
            const std::uint64_t u = json.get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<SInt64>::max())) {
                const SInt64 n = static_cast<SInt64>(u);
                return number(kCFNumberSInt64Type, &n);
            }
            const Float64 f = static_cast<Float64>(u);
            return number(kCFNumberFloat64Type, &f);
        }
        case nlohmann::json::value_t::number_float: {
            const Float64 f = json.get<double>();
            return number(kCFNumberFloat64Type, &f);
        }
        default:
            return CFRef<CFTypeRef>();
    }
}

}  // namespace

CFRef<CFDictionaryRef> aggregateDescription(const nlohmann::json& description) {
    if (!description.is_object()) return CFRef<CFDictionaryRef>();
    CFRef<CFTypeRef> dict = dictionary(description, Level::aggregate);
    if (!dict) return CFRef<CFDictionaryRef>();
    // Hand the one reference over to the typed holder.
    CFRef<CFDictionaryRef> typed(static_cast<CFDictionaryRef>(CFRetain(dict.get())));
    return typed;
}

}  // namespace tarnwick::coreaudio
