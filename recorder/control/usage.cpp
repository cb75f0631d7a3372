#include "recorder/control/usage.hpp"

namespace recorder {

std::string recorderAgentUsage() {
    return R"(Usage: recorder-agent REQUEST
       recorder-agent --list-sources
       recorder-agent --help | --version

Records one display, one window or one region of a display into an MPEG-4 or QuickTime file.
REQUEST is a JSON object, for example '{"outputPath":"/tmp/a.mp4","windowId":12582919}'; every
field is optional. Standard input takes the commands "pause", "resume" and "stop", one a line.
Standard output says "Recording started" once the first frame is written and
"Recording stopped. Output path: PATH" when the file is finished; errors go to standard error.
SIGTERM, SIGINT, SIGHUP and the death of the parent finish the recording as "stop" does.
Exit status: 0 when the recording was finished, 1 otherwise.
On Wayland the desktop's own dialog chooses what is recorded; the request field "restoreTokenPath"
names a file that keeps that choice, so that the dialog is shown once.

  --list-sources  print the displays, windows and microphones a request can name, as JSON
  --help          print this help
  --version       print the version

Every field, line and status: man recorder-agent, or docs/protocol.md.)";
}

}  // namespace recorder
