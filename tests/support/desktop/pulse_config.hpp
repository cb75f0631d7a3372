#pragma once

#include <string>

namespace testsupport {

// The PulseAudio configuration of a test desktop: system audio is what plays into sink "sysout"; the
// microphone is source "mic" (description "TestMic"), fed by what plays into sink "micfeed".
inline std::string pulseAudioConfiguration() {
    return "load-module module-native-protocol-unix auth-anonymous=1\n"
           "load-module module-null-sink sink_name=sysout rate=48000 channels=2 "
           "sink_properties=device.description=SystemOut\n"
           "set-default-sink sysout\n"
           "load-module module-null-sink sink_name=micfeed rate=48000 channels=1 "
           "sink_properties=device.description=MicFeed\n"
           "load-module module-remap-source source_name=mic master=micfeed.monitor "
           "source_properties=device.description=TestMic\n"
           "set-default-source mic\n";
}

}  // namespace testsupport
