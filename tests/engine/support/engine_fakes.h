#pragma once

// A complete terminal engine wired to recorders, as main.cpp wires the real one,
// and compact renderings of the display state for table-driven tests.

#include "common/recorders.h"
#include "engine/display_model.h"
#include "engine/host_interpreter.h"
#include "engine/outputs.h"
#include "engine/ports.h"
#include "engine/terminal_state.h"

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

inline QByteArray rightTrimmed(QByteArray line)
{
    while (line.endsWith(' '))
        line.chop(1);
    return line;
}

// "line1|line2@row,col" with trailing blanks left off.
inline QByteArray screen(const DisplayModel &d)
{
    return rightTrimmed(d.DisplayLine1()) + '|' + rightTrimmed(d.DisplayLine2()) + '@' +
           QByteArray::number(d.CursorRow()) + ',' + QByteArray::number(d.CursorCol());
}

// What the two fields show, the same way.
inline QByteArray shown(const DisplayModel &d)
{
    return rightTrimmed(d.view1()) + '|' + rightTrimmed(d.view2());
}
