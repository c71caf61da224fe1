// Process-wide settings written once by start-up before any worker thread exists, and only read afterwards.
#pragma once

#include <array>

namespace VevUroro {

// Instrumentation flags: 0 configuration table, 1 L2 table, 2 L3 table, 3 database client.
enum InstrumentFlag { INSTRUMENT_CONFIG_CACHE = 0, INSTRUMENT_L2_CACHE, INSTRUMENT_L3_CACHE, INSTRUMENT_TOLVAR_CLIENT };
extern std::array<bool, 4> g_instrumentFlags;

// Node persona: 1 SmartNIC host, 2 SmartNIC, 3 other host (the value before start-up sets it).
enum NodePersona { NODE_PERSONA_SMARTNIC_HOST = 1, NODE_PERSONA_SMARTNIC = 2, NODE_PERSONA_OTHER = 3 };
extern int g_nodePersona;

}  // namespace VevUroro
