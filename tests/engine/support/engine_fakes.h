#pragma once

// A complete terminal engine wired to recorders, as main.cpp wires the real one.

#include "common/recorders.h"
#include "engine/display_model.h"
#include "engine/host_interpreter.h"
#include "engine/outputs.h"
#include "engine/ports.h"
#include "engine/terminal_state.h"

#include <QByteArray>
#include <QList>

class CountingStatus : public StatusReporter {
public:
    void StatusReport() override { ++reports; }
    int reports = 0;
};

class RecordingPort : public ComPortWriter {
public:
    bool writeToPort(const QByteArray &bytes) override
    {
        writes.append(bytes);
        return open;
    }
    bool open = true;
    QList<QByteArray> writes;
};

class CountingScale : public EnqResponder {
public:
    void answerEnq() override { ++answers; }
    int answers = 0;
};

struct Terminal {
    explicit Terminal(int protocol = TerminalState::kVt100, bool comutadora = false)
    {
        state.protocolKind = protocol;
        state.comutadoraMode = comutadora;
        outputs.setComPort(&port);
        outputs.setEnqResponder(&scale);
    }
    void feed(const QByteArray &bytes) { interpreter.InterpretHostData(bytes); }

    TerminalState state;
    DisplayModel display;
    Outputs outputs{state};
    RecordingSender sender;
    CountingStatus status;
    RecordingPort port;
    CountingScale scale;
    HostInterpreter interpreter{state, display, outputs, sender, status};
};

// A 40-column line: head at column 1, tail ending at column 40, filler between.
inline QByteArray displayLine(const QByteArray &head, const QByteArray &tail = {}, char filler = ' ')
{
    QByteArray line(DisplayModel::kColumns, filler);
    line.replace(0, head.size(), head);
    line.replace(DisplayModel::kColumns - tail.size(), tail.size(), tail);
    return line;
}
