// The commands that start an instance, flush, close, reopen and reconfigure
// its port, and end the driver.
#pragma once

#include <cstdint>

#include "comm/comm.h"
#include "host/records.h"
#include "instance/instance_block.h"

namespace draxo {

// Whether a 12-byte port-name field holds a NUL-terminated name of at most
// 11 characters.
bool PortNameFits(const char* field);
// "NULLDEV" or "NUL": a line without communications.
bool IsNullDevice(const char* name);

// Opens a port from its settings; the handle, or 0 on failure.
comm::Handle OpenCom(const PortSettings& settings);

std::int32_t ColdStart(VpiCallBlock* call);
std::int32_t WarmStart(VpiCallBlock* call);
std::int32_t CloseCom(VpiCallBlock* call);
std::int32_t ReOpenCom(VpiCallBlock* call);
std::int32_t ChangeVpiParams(VpiCallBlock* call);
std::int32_t EndVpi(VpiCallBlock* call);

} // namespace draxo
