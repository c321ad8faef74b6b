// Line commands for tests (get, set, dump, stats) and the UNIX socket that
// serves them.
#pragma once

#include "model.h"

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace rexsim {

// One command line in, one reply line out (without the newline).
//   get ADDR TEXT        value text a poll would get now, or "ERR ..."
//   set ADDR TEXT VALUE  stores like an accepted write (read-only too): "OK";
//                        a running model recomputes its derived values (AA,
//                        S2, ...) on the next tick, M1 moves the process value
//   dump                 JSON of every station's values
//   stats                JSON counters
std::string handleCommand(Model& model, const std::function<nlohmann::json()>& stats,
                          const std::string& line);

nlohmann::json dumpModel(const Model& model);

class ControlServer {
  public:
    ControlServer() = default;
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;
    ~ControlServer();

    // Listens at `path`; a stale socket there is replaced, any other file is
    // left alone and fails the call. Returns an error text or "".
    std::string listenAt(const std::string& path);

    // Descriptors to poll for input, and the work when any is ready.
    std::vector<int> fds() const;
    void service(const std::function<std::string(const std::string&)>& handler);

  private:
    struct Client {
        int fd;
        std::string in;
    };
    int listenFd_ = -1;
    std::string path_;
    std::vector<Client> clients_;
};

} // namespace rexsim
