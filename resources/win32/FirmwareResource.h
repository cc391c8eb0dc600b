#pragma once

// Where the firmware image sits among the executable's resources, for the resource script,
// which reads plain macros only. platform/win32/Resources.cpp checks at compile time that
// these agree with the id and type the code looks the image up by.
#define SPARWICK_FIRMWARE_RESOURCE_ID 133
#define SPARWICK_FIRMWARE_RESOURCE_TYPE FLASHIMAGE
#define SPARWICK_FIRMWARE_RESOURCE_TYPE_NAME "FLASHIMAGE"
