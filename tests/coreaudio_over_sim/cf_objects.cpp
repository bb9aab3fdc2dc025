// The CoreFoundation subset: reference-counted objects following the Create
// rule. Unlike real CoreFoundation it refuses, loudly, to touch an object
// that is not alive, so that a release too many or a use after release
// fails the run where it happens.

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tests/coreaudio_over_sim/simulated_hal.h"

namespace {

enum TypeID : CFTypeID { stringType = 7, numberType = 22, booleanType = 21, arrayType = 19, dictionaryType = 18 };

struct Object {
    explicit Object(CFTypeID t, bool forever = false) : type(t), immortal(forever) {}
    virtual ~Object() = default;
    CFTypeID type;
    bool immortal;
    std::atomic<long> references{1};
};

}  // namespace

struct __CFString : Object {
    explicit __CFString(std::string t, bool forever = false) : Object(stringType, forever), text(std::move(t)) {}
    std::string text;
};
struct __CFNumber : Object {
    __CFNumber() : Object(numberType) {}
    bool isFloat = false;
    SInt64 integer = 0;
    Float64 real = 0;
};
struct __CFBoolean : Object {
    explicit __CFBoolean(bool v) : Object(booleanType, true), value(v) {}
    bool value;
};
struct __CFArray : Object {
    __CFArray() : Object(arrayType) {}
    std::vector<CFTypeRef> items;
};
struct __CFDictionary : Object {
    __CFDictionary() : Object(dictionaryType) {}
    std::vector<std::pair<CFTypeRef, CFTypeRef>> entries;
};

namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_set<const Object*> live;
    std::map<std::string, const __CFString*> constants;
};

Registry& registry() {
    static Registry* r = new Registry();  // outlives every static user
    return *r;
}

[[noreturn]] void misuse(const char* call) {
    std::fprintf(stderr, "CoreFoundation misuse: %s on an object that is not alive\n", call);
    std::abort();
}

template <typename T>
T* track(T* object) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.live.insert(object);
    return object;
}

// The object behind a reference, checked to be alive (or a constant).
const Object* alive(CFTypeRef ref, const char* call) {
    if (ref == nullptr) misuse(call);
    const Object* object = static_cast<const Object*>(ref);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.live.count(object)) misuse(call);
    return object;
}

template <typename T>
const T* as(CFTypeRef ref, CFTypeID type, const char* call) {
    const Object* object = alive(ref, call);
    if (object->type != type) {
        std::fprintf(stderr, "CoreFoundation misuse: %s on an object of another type\n", call);
        std::abort();
    }
    return static_cast<const T*>(object);
}

bool validUTF8(const std::string& s, std::size_t* utf16Units) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra;
        std::uint32_t code;
        if (c < 0x80) {
            extra = 0;
            code = c;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size()) return false;  // cut short
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        units += code >= 0x10000 ? 2 : 1;
        i += extra + 1;
    }
    if (utf16Units) *utf16Units = units;
    return true;
}

}  // namespace

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFTypeRef CFRetain(CFTypeRef cf) {
    const Object* object = alive(cf, "CFRetain");
    if (!object->immortal) const_cast<Object*>(object)->references.fetch_add(1);
    return cf;
}

void CFRelease(CFTypeRef cf) {
    const Object* object = alive(cf, "CFRelease");
    if (object->immortal) return;
    if (const_cast<Object*>(object)->references.fetch_sub(1) != 1) return;
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        r.live.erase(object);
    }
    if (object->type == arrayType) {
        for (CFTypeRef item : static_cast<const __CFArray*>(object)->items) CFRelease(item);
    } else if (object->type == dictionaryType) {
        for (const auto& [key, value] : static_cast<const __CFDictionary*>(object)->entries) {
            CFRelease(key);
            CFRelease(value);
        }
    }
    delete object;
}

CFTypeID CFGetTypeID(CFTypeRef cf) { return alive(cf, "CFGetTypeID")->type; }

CFTypeID CFStringGetTypeID(void) { return stringType; }
CFTypeID CFNumberGetTypeID(void) { return numberType; }
CFTypeID CFBooleanGetTypeID(void) { return booleanType; }
CFTypeID CFArrayGetTypeID(void) { return arrayType; }
CFTypeID CFDictionaryGetTypeID(void) { return dictionaryType; }

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
    if (cStr == nullptr || encoding != kCFStringEncodingUTF8) return nullptr;
    std::string text(cStr);
    if (!validUTF8(text, nullptr)) return nullptr;
    return track(new __CFString(std::move(text)));
}

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.constants.find(cStr);
    if (found != r.constants.end()) return found->second;
    auto* string = new __CFString(cStr, true);
    r.constants.emplace(cStr, string);
    r.live.insert(string);
    return string;
}

CFIndex CFStringGetLength(CFStringRef theString) {
    std::size_t units = 0;
    validUTF8(as<__CFString>(theString, stringType, "CFStringGetLength")->text, &units);
    return static_cast<CFIndex>(units);
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    if (encoding != kCFStringEncodingUTF8 || length < 0 || length > (1L << 40)) return kCFNotFound;
    return length * 3;  // a UTF-16 unit never takes more than three bytes
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
    const std::string& text = as<__CFString>(theString, stringType, "CFStringGetCString")->text;
    if (encoding != kCFStringEncodingUTF8 || buffer == nullptr || bufferSize <= 0) return false;
    if (text.size() + 1 > static_cast<std::size_t>(bufferSize)) return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
    if (valuePtr == nullptr) return nullptr;
    auto* number = new __CFNumber();
    switch (theType) {
        case kCFNumberSInt32Type: {
            SInt32 v;
            std::memcpy(&v, valuePtr, sizeof v);
            number->integer = v;
            break;
        }
        case kCFNumberIntType: {
            int v;
            std::memcpy(&v, valuePtr, sizeof v);
            number->integer = v;
            break;
        }
        case kCFNumberSInt64Type:
            std::memcpy(&number->integer, valuePtr, sizeof number->integer);
            break;
        case kCFNumberFloat64Type:
            std::memcpy(&number->real, valuePtr, sizeof number->real);
            number->isFloat = true;
            break;
        default:
            delete number;
            return nullptr;
    }
    return track(number);
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
    const __CFNumber* n = as<__CFNumber>(number, numberType, "CFNumberGetValue");
    switch (theType) {
        case kCFNumberSInt32Type: {
            const auto v = static_cast<SInt32>(n->isFloat ? static_cast<SInt64>(n->real) : n->integer);
            std::memcpy(valuePtr, &v, sizeof v);
            return !n->isFloat && v == n->integer;
        }
        case kCFNumberSInt64Type: {
            const SInt64 v = n->isFloat ? static_cast<SInt64>(n->real) : n->integer;
            std::memcpy(valuePtr, &v, sizeof v);
            return !n->isFloat;
        }
        case kCFNumberFloat64Type: {
            const Float64 v = n->isFloat ? n->real : static_cast<Float64>(n->integer);
            std::memcpy(valuePtr, &v, sizeof v);
            return true;
        }
        default:
            return false;
    }
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
    return as<__CFNumber>(number, numberType, "CFNumberIsFloatType")->isFloat;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
    return as<__CFBoolean>(boolean, booleanType, "CFBooleanGetValue")->value;
}

}  // extern "C"

namespace {
const __CFBoolean* makeBoolean(bool value) {
    auto* b = new __CFBoolean(value);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.live.insert(b);
    return b;
}
}  // namespace

extern "C" {

const CFBooleanRef kCFBooleanTrue = makeBoolean(true);
const CFBooleanRef kCFBooleanFalse = makeBoolean(false);

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, nullptr, nullptr, nullptr, nullptr};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0, nullptr, nullptr, nullptr, nullptr, nullptr};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, nullptr, nullptr, nullptr, nullptr};

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex numValues, const CFArrayCallBacks* callBacks) {
    // Only CF-typed elements are supported: they are retained.
    if (callBacks != &kCFTypeArrayCallBacks || numValues < 0 || (numValues > 0 && values == nullptr)) return nullptr;
    auto* array = new __CFArray();
    for (CFIndex i = 0; i < numValues; ++i) array->items.push_back(CFRetain(values[i]));
    return track(array);
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
    return static_cast<CFIndex>(as<__CFArray>(theArray, arrayType, "CFArrayGetCount")->items.size());
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    const auto& items = as<__CFArray>(theArray, arrayType, "CFArrayGetValueAtIndex")->items;
    if (idx < 0 || static_cast<std::size_t>(idx) >= items.size()) std::abort();
    return items[static_cast<std::size_t>(idx)];
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
    if (keyCallBacks != &kCFTypeDictionaryKeyCallBacks || valueCallBacks != &kCFTypeDictionaryValueCallBacks) {
        return nullptr;
    }
    return track(new __CFDictionary());
}

namespace {
bool sameKey(CFTypeRef a, CFTypeRef b) {
    if (a == b) return true;
    const Object* x = alive(a, "CFDictionary key");
    const Object* y = alive(b, "CFDictionary key");
    return x->type == stringType && y->type == stringType &&
           static_cast<const __CFString*>(x)->text == static_cast<const __CFString*>(y)->text;
}
}  // namespace

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    auto* dict = const_cast<__CFDictionary*>(as<__CFDictionary>(theDict, dictionaryType, "CFDictionarySetValue"));
    CFRetain(value);
    for (auto& entry : dict->entries) {
        if (sameKey(entry.first, key)) {
            CFRelease(entry.second);
            entry.second = value;
            return;
        }
    }
    dict->entries.emplace_back(CFRetain(key), value);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
    return static_cast<CFIndex>(as<__CFDictionary>(theDict, dictionaryType, "CFDictionaryGetCount")->entries.size());
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
    for (const auto& entry : as<__CFDictionary>(theDict, dictionaryType, "CFDictionaryGetValue")->entries) {
        if (sameKey(entry.first, key)) return entry.second;
    }
    return nullptr;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values) {
    std::size_t i = 0;
    for (const auto& entry : as<__CFDictionary>(theDict, dictionaryType, "CFDictionaryGetKeysAndValues")->entries) {
        if (keys) keys[i] = entry.first;
        if (values) values[i] = entry.second;
        ++i;
    }
}

}  // extern "C"

namespace tarnwick::coreaudio_over_sim {

std::size_t liveCFObjects() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::size_t count = 0;
    for (const Object* object : r.live) count += object->immortal ? 0 : 1;
    return count;
}

nlohmann::json jsonFromCF(CFTypeRef value) {
    if (value == nullptr) return nullptr;
    const Object* object = alive(value, "jsonFromCF");
    switch (object->type) {
        case stringType:
            return static_cast<const __CFString*>(object)->text;
        case booleanType:
            return static_cast<const __CFBoolean*>(object)->value;
        case numberType: {
            const auto* n = static_cast<const __CFNumber*>(object);
            return n->isFloat ? nlohmann::json(n->real) : nlohmann::json(n->integer);
        }
        case arrayType: {
            nlohmann::json array = nlohmann::json::array();
            for (CFTypeRef item : static_cast<const __CFArray*>(object)->items) array.push_back(jsonFromCF(item));
            return array;
        }
        case dictionaryType: {
            nlohmann::json dict = nlohmann::json::object();
            for (const auto& [key, item] : static_cast<const __CFDictionary*>(object)->entries) {
                const Object* k = alive(key, "jsonFromCF key");
                if (k->type != stringType) return nullptr;
                dict[static_cast<const __CFString*>(k)->text] = jsonFromCF(item);
            }
            return dict;
        }
        default:
            return nullptr;
    }
}

}  // namespace tarnwick::coreaudio_over_sim
