// The stand-in's own service controls (tools/StandIn.cpp), in the range
// 128-255 that the service manager passes to a handler unchanged. Each is
// done before ControlService returns.
//
// Spelled here once: tools/wine.sh reads these lines for the scenarios, the
// demo and the benchmark, and takes each STANDIN_NAME as NAME. Keep one
// "#define STANDIN_NAME NUMBER" to a line.
#pragma once

#define STANDIN_PUBLISH_ALIVE 128    // publish "1"
#define STANDIN_PUBLISH_ZERO 129     // publish "0"
#define STANDIN_REMOVE_SECTION 130   // close the section
#define STANDIN_CRASH 131            // a crash as Windows' service manager shows one
#define STANDIN_FILL_GARBAGE 132     // the section full of non-zero bytes, the first "1"
#define STANDIN_SECTION_ONE_BYTE 133 // the section anew: 1 byte holding "1"
#define STANDIN_SECTION_ONE_MIB 134  // the section anew: 1 MiB holding "1"
#define STANDIN_VANISH 135           // the process ends without reporting anything
#define STANDIN_IGNORE_STOP 136      // from now on a stop is answered, and nothing done
#define STANDIN_BLOCK_STOP 137       // from now on a stop is never answered: the handler hangs
#define STANDIN_FREEZE_BEAT 138      // the heartbeat of mode "beat" stands still, "1" stays
#define STANDIN_DETACH_AT_STOP 139   // from now on a stop reports stopped, and the process runs on
