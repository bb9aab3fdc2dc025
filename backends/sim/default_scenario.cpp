#include "backends/sim/default_scenario.h"

namespace tarnwick::sim {

// Two microphones (one of them off 48 kHz, so that a default capture is
// resampled) and one pair of speakers whose output the tap hears.
const char* defaultScenarioText() {
    return R"json({
  "devices": [
    {
      "uid": "sim-mic",
      "name": "Simulated Microphone",
      "input_channels": 2,
      "sample_rate": 44100,
      "buffer_frames": 512,
      "signal": {"kind": "sine", "frequency": 440, "amplitude": 0.25}
    },
    {
      "uid": "sim-usb-mic",
      "name": "Simulated USB Microphone",
      "input_channels": 1,
      "sample_rate": 48000,
      "buffer_frames": 256,
      "signal": {"kind": "sine", "frequency": 880, "amplitude": 0.25}
    },
    {
      "uid": "sim-speakers",
      "name": "Simulated Speakers",
      "output_channels": 2,
      "sample_rate": 48000,
      "buffer_frames": 512,
      "signal": {"kind": "sine", "frequency": 1000, "amplitude": 0.25}
    }
  ],
  "default_input": "sim-mic",
  "default_output": "sim-speakers",
  "tap": {"format": {"sample_rate": 48000, "channels": 2, "planar": true}}
})json";
}

}  // namespace tarnwick::sim
