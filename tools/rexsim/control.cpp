#include "control.h"

#include "protocol.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace rexsim {

namespace {
constexpr size_t kMaxLine = 4096;

bool parseAddr(const std::string& s, int& addr) {
    if (s.empty() || s.size() > 2 || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    addr = std::stoi(s);
    return true;
}
} // namespace

nlohmann::json dumpModel(const Model& model) {
    nlohmann::json stations = nlohmann::json::object();
    for (int a = 0; a < kStations; ++a) {
        if (!model.present(a)) {
            continue;
        }
        nlohmann::json values = nlohmann::json::object();
        for (int i = 0; i < kIdentifierCount; ++i) {
            if (kIdentifiers[i].group == Group::Plain) {
                values[kIdentifiers[i].id] = model.readText(a, ValueRef{i, -1, -1});
            }
        }
        nlohmann::json grouped = nlohmann::json::object();
        for (const auto& [ref, v] : model.station(a).written()) {
            grouped[refText(ref)] = formatValue(kIdentifiers[ref.id], v);
        }
        stations[std::to_string(a)] = {{"values", values}, {"selected", grouped}};
    }
    return {{"stations", stations}};
}

std::string handleCommand(Model& model, const std::function<nlohmann::json()>& stats,
                          const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) {
        w.push_back(s);
    }
    if (w.empty()) {
        return "ERR empty command";
    }
    if (w[0] == "dump" && w.size() == 1) {
        return dumpModel(model).dump();
    }
    if (w[0] == "stats" && w.size() == 1) {
        return stats ? stats().dump() : "{}";
    }
    bool get = w[0] == "get" && w.size() == 3;
    bool set = w[0] == "set" && w.size() == 4;
    if (!get && !set) {
        return "ERR usage: get ADDR TEXT | set ADDR TEXT VALUE | dump | stats";
    }
    int addr = 0;
    if (!parseAddr(w[1], addr) || !model.present(addr)) {
        return "ERR no station " + w[1];
    }
    ParsedText p = parsePollText(w[2]);
    if (p.status == ParseStatus::Malformed) {
        return "ERR malformed request text " + w[2];
    }
    if (p.status == ParseStatus::Unknown) {
        return "ERR unknown identifier " + w[2];
    }
    if (get) {
        return model.readText(addr, p.ref);
    }
    WriteStatus s = model.write(addr, p.ref, w[3], true);
    return s == WriteStatus::Ok ? "OK" : std::string("ERR ") + writeStatusName(s);
}

ControlServer::~ControlServer() {
    for (auto& c : clients_) {
        ::close(c.fd);
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(path_.c_str());
    }
}

std::string ControlServer::listenAt(const std::string& path) {
    sockaddr_un sa{};
    if (path.empty() || path.size() >= sizeof sa.sun_path) {
        return "control socket path too long: " + path;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            return "not replacing " + path + ": exists and is not a socket";
        }
        ::unlink(path.c_str());
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::string("socket: ") + std::strerror(errno);
    }
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 8) != 0) {
        std::string e = std::strerror(errno);
        ::close(fd);
        return "control socket " + path + ": " + e;
    }
    listenFd_ = fd;
    path_ = path;
    return "";
}

std::vector<int> ControlServer::fds() const {
    std::vector<int> out;
    if (listenFd_ >= 0) {
        out.push_back(listenFd_);
    }
    for (const auto& c : clients_) {
        out.push_back(c.fd);
    }
    return out;
}

void ControlServer::service(const std::function<std::string(const std::string&)>& handler) {
    if (listenFd_ < 0) {
        return;
    }
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            break;
        }
        clients_.push_back(Client{fd, {}});
    }
    for (auto it = clients_.begin(); it != clients_.end();) {
        bool closeIt = false;
        char buf[1024];
        for (;;) {
            ssize_t n = ::read(it->fd, buf, sizeof buf);
            if (n > 0) {
                it->in.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                closeIt = true;
            }
            break;
        }
        size_t nl;
        bool dead = false;
        while (!dead && (nl = it->in.find('\n')) != std::string::npos) {
            std::string line = it->in.substr(0, nl);
            it->in.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            std::string reply = handler(line) + "\n";
            // Replies are short; a client that does not read them within a
            // moment is dropped rather than stalling the line.
            size_t off = 0;
            while (off < reply.size()) {
                ssize_t w = ::send(it->fd, reply.data() + off, reply.size() - off, MSG_NOSIGNAL);
                if (w > 0) {
                    off += static_cast<size_t>(w);
                    continue;
                }
                if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    pollfd p{it->fd, POLLOUT, 0};
                    if (::poll(&p, 1, 200) > 0) {
                        continue;
                    }
                }
                dead = true;
                break;
            }
        }
        closeIt = closeIt || dead;
        if (it->in.size() > kMaxLine) {
            closeIt = true; // no line end in sight
        }
        if (closeIt) {
            ::close(it->fd);
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace rexsim
