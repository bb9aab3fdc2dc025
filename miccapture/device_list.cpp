#include "miccapture/device_list.h"

#include <nlohmann/json.hpp>

#include "frame/capture_error.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/stream_writer.h"
#include "miccapture/device_queries.h"
#include "miccapture/mic_constants.h"

namespace tarnwick::mic {

using namespace tarnwick::audio;

std::string deviceListJson() {
    AudioObjectID defaultDevice = 0;
    try {
        defaultDevice = defaultInputDevice();
    } catch (const CaptureError&) {
        // No default: nothing is marked.
    }
    auto list = nlohmann::ordered_json::array();
    for (AudioObjectID device : allDevices()) {
        UInt32 channels = inputChannelCount(device);
        if (channels < 1) continue;
        std::optional<std::string> uid = stringProperty(device, kPropDeviceUID);
        if (!uid) continue;
        std::string name = stringProperty(device, kPropName).value_or(*uid);
        double rate = propertyValue<Float64>(device, kPropNominalSampleRate, kScopeGlobal, 0.0);
        nlohmann::ordered_json entry;
        entry["uid"] = *uid;
        entry["name"] = name;
        entry["is_default"] = device == defaultDevice;
        entry["sample_rate"] = wholeHertz(rate);
        entry["channels"] = channels;
        list.push_back(std::move(entry));
    }
    // Names come from drivers: a broken UTF-8 sequence is shown replaced
    // instead of making the whole list unprintable.
    return list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void listInputDevices() {
    // A one-shot mode keeps the signal handling the process inherited.
    releaseStopSignals();
    std::string text;
    bool built = true;
    try {
        text = deviceListJson();
    } catch (const nlohmann::json::exception&) {
        built = false;
    }
    if (built && writeAll(text.data(), text.size()) && writeAll("\n", 1)) exitProcess(cleanExitStatus);
    log("could not write device list to stdout");
    exitProcess(failedExitStatus);
}

}  // namespace tarnwick::mic
