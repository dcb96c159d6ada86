#pragma once

namespace kelvo {

// What signals and standard-input commands ask the supervisor to do.
enum class ControlRequest {
    Stop = 0,         // SIGTERM, SIGINT, {"cmd":"stop"}: graceful powerdown
    Kill = 1,         // {"cmd":"kill"}: hard kill
    Hibernate = 2,    // SIGUSR1, {"cmd":"hibernate"}
    InputClosed = 3,  // end of standard input in attached mode: like Stop
};

}  // namespace kelvo
