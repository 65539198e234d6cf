#pragma once

#include "engine/frames.h"

// The terminal-wide settings and flags that several subsystems read and write:
// which protocol and role the host link uses, the Comutadora switch, the boxes
// the operator ticks on the main window and the host-switched function-key mode.
// One instance is built in main.cpp and handed by reference to every object
// that needs it; windows mirror it, they never hold the truth themselves.
class TerminalObserver;

struct TerminalState {
    // ProtocolKind: -1 none, 0 "VT100", 1 "Zorvane", 2 "Telnet - [VT100]".
    int protocolKind = -1;
    // ConnectionRole: 0 Server, 1 Client; other loaded values open nothing.
    int connectionRole = 1;
    bool comutadoraMode = false;
    // The terminal's address behind the concentrator: what its frames carry
    // and which host frames it takes. "00" unless several terminals share one
    // concentrator connection.
    frames::BusAddress comutadoraAddress = frames::kDefaultAddress;

    // Operator boxes of the main window.
    bool busy = false;               // "Busy" beside the parallel interface
    bool cts = false;                // "CTS" beside the serial interface
    bool serialRelayEnabled = false; // check mark of "Habilitado" (ckHabilita_Serial)
    bool comPortBoxTicked = false;   // "Porta COM" (cbPortaCOM)

    // Switched by the host (ESC ESC 0xC0 / 0x80), cleared by a reset and by leaving the main window.
    bool functionKeyMode = false;

    // Set while the user is leaving the main window, until it is next activated.
    bool mainWindowClosing = false;

    // Pause after each character of SendKeyString, in milliseconds.
    int barcodeCharDelay = 10;

    // Who watches the terminal (the trace, the control interface), or nullptr.
    // Set by Terminal::addObserver; every producer reads it here, so a
    // terminal nobody watches pays one branch per event.
    TerminalObserver *observer = nullptr;

    static constexpr int kVt100 = 0;
    static constexpr int kZorvane = 1;
    static constexpr int kTelnet = 2;
    static constexpr int kServer = 0;
    static constexpr int kClient = 1;

    bool vt100CommandSet() const { return protocolKind == kVt100 || protocolKind == kTelnet; }
    bool telnetDecoding() const { return protocolKind == kTelnet; }
};
