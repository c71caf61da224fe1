// SmartNIC utility: the node persona of this machine (1 SmartNIC host, 2 SmartNIC, 3 other host).
//
// Init() reads "/etc/zantix/qor/node-persona" (under QOR_ROOT) once: the first integer in it is the persona;
// without the file the persona is 3. GetNodePersona() returns what Init() read. Called on the main thread at
// start-up before any worker thread exists.
#pragma once

namespace SNUtil {

void Init();
int GetNodePersona();

}  // namespace SNUtil
