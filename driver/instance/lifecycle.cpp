#include "instance/lifecycle.h"

#include <cstring>

#include "entry/vpi_main.h"
#include "host/log.h"
#include "instance/init_file.h"
#include "serial/port.h"

namespace draxo {

bool PortNameFits(const char* field) {
    return std::memchr(field, '\0', kPortNameSize) != nullptr;
}

bool IsNullDevice(const char* name) {
    return std::strcmp(name, "NULLDEV") == 0 || std::strcmp(name, "NUL") == 0;
}

comm::Handle OpenCom(const PortSettings& settings) {
    comm::Handle h = 0;
    if (ConfigurePort(settings.portName, settings.line, settings.lineFlags, &h) == kPortOk) {
        err(kLogInfo, "DRAXO> OpenCom() exited OK, file handle %u", static_cast<unsigned>(h));
        return h;
    }
    err(kLogError, "DRAXO> OpenCom() exited with error");
    return 0;
}

std::int32_t ColdStart(VpiCallBlock* call) {
    InstanceBlock* b = call->instance;
    const auto* p = static_cast<const ColdStartParams*>(call->params);
    err(kLogError, "DRAXO> version compiled on %s at time %s", __DATE__, __TIME__);

    b->replyTimeout = p->replyTimeout;
    b->handle = 0;
    b->ifg = 0;
    for (StationEntry& s : b->stations) {
        s.type = kStationNone;
    }

    PortSettings settings{};
    std::memcpy(settings.portName, p->portName, kPortNameSize);
    settings.line = p->line;
    settings.lineFlags = kDefaultLineFlags;

    ReadInitFile(call);

    if (p->openPort != 0) {
        // A name that does not fit its field is refused whole: a cut name
        // could open another port.
        if (!PortNameFits(p->portName)) {
            err(kLogError, "DRAXO> ColdStart() port name does not fit in %u bytes",
                static_cast<unsigned>(kPortNameSize));
            return 1;
        }
        if (IsNullDevice(settings.portName)) {
            err(kLogError, "DRAXO> ColdStart() NULLDEV => no communication");
        } else {
            const comm::Handle h = OpenCom(settings);
            if (h == 0) {
                err(kLogError, "DRAXO> ColdStart() unable to open %s port", settings.portName);
                return 1;
            }
            err(kLogError, "DRAXO> ColdStart() port %s opened, file handle %u", settings.portName,
                static_cast<unsigned>(h));
            b->handle = h;
            SetReadTimeout(h, b->replyTimeout);
        }
        b->port = settings;
    }

    err(kLogError, "DRAXO> ColdStart() exited, 0");
    return 0;
}

std::int32_t WarmStart(VpiCallBlock* call) {
    InstanceBlock* b = call->instance;
    if (b->handle != 0) {
        FlushInput(b->handle);
    }
    err(kLogError, "DRAXO> WarmStart() exited, 0");
    return 0;
}

std::int32_t CloseCom(VpiCallBlock* call) {
    InstanceBlock* b = call->instance;
    if (b->handle != 0) {
        if (ClosePort(b->handle) != kPortOk) {
            err(kLogInfo, "DRAXO> CloseCom() exited 2");
            return 2;
        }
        b->handle = 0;
    }
    err(kLogInfo, "DRAXO> CloseCom() exited 0");
    return 0;
}

std::int32_t ReOpenCom(VpiCallBlock* call) {
    InstanceBlock* b = call->instance;
    // The recorded name may be whatever the host's memory held, if no
    // ColdStart ever recorded settings.
    if (!PortNameFits(b->port.portName)) {
        err(kLogError, "DRAXO> ReOpenCom() no valid port name recorded");
        return 2;
    }
    if (IsNullDevice(b->port.portName)) {
        err(kLogInfo, "DRAXO> ReOpenCom() NULLDEV => no communications");
    } else {
        b->port.lineFlags = kDefaultLineFlags;
        const comm::Handle h = OpenCom(b->port);
        if (h == 0) {
            err(kLogError, "DRAXO> ReOpenCom() exited 2");
            return 2;
        }
        b->handle = h;
        SetReadTimeout(h, b->replyTimeout);
    }
    err(kLogInfo, "DRAXO> ReOpenCom() exited 0");
    return 0;
}

std::int32_t ChangeVpiParams(VpiCallBlock* call) {
    InstanceBlock* b = call->instance;
    const auto* p = static_cast<const ChangeParams*>(call->params);
    if (!PortNameFits(p->portName)) {
        err(kLogError, "DRAXO> ChangeVpiParams() port name does not fit in %u bytes",
            static_cast<unsigned>(kPortNameSize));
        return 2;
    }

    if (p->replyTimeout != 0 && p->replyTimeout != -1) {
        b->replyTimeout = p->replyTimeout;
    }
    const bool sameName =
        PortNameFits(b->port.portName) && std::strcmp(p->portName, b->port.portName) == 0;
    if (!sameName && b->handle != 0) {
        CloseCom(call);
    }
    std::memcpy(b->port.portName, p->portName, kPortNameSize);
    if (p->line.baud != 0) {
        b->port.line = p->line;
    }
    if (IsNullDevice(p->portName)) {
        err(kLogInfo, "DRAXO> ChangeVpiParams() NULLDEV => no communications");
        return 0;
    }
    b->port.lineFlags = kDefaultLineFlags;
    const comm::Handle h = OpenCom(b->port);
    if (h == 0) {
        err(kLogInfo, "DRAXO> ChangeVpiParams() exited 2");
        return 2;
    }
    b->handle = h;
    SetReadTimeout(h, b->replyTimeout);
    return 0;
}

std::int32_t EndVpi(VpiCallBlock* call) {
    vpiEnded = 1;
    const std::int32_t result = CloseCom(call);
    err(kLogInfo, "DRAXO> EndVpi() exited, %d", static_cast<int>(result));
    return result;
}

} // namespace draxo
