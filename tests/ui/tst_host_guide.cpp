#include "tst_startup_rig.h"

#include "engine/outputs.h"
#include "inputs/keyboard.h"

#include <QCheckBox>
#include <QPushButton>
#include <QRegularExpression>

#include <optional>

// The host programmer's guide (docs/host-guide.md) run against the whole
// emulator: every `example` block is a script of host writes, operator actions
// and expectations, and the two tables marked as checked (key codes, Telnet
// answers) are replayed row by row. The emulator is a Client of a test host on
// loopback, in a fresh working folder each time, so the guide cannot drift
// from what the program does.
namespace
{

struct Statement {
    int line = 0;
    QString verb;
    QString rest;
};

struct Example {
    int line = 0;
    QString title;
    bool comutadora = false;
    int protocol = TerminalState::kVt100;
    int terminator = 1;
    QList<QPair<QString, QByteArray>> files;
    QList<Statement> statements;
};

struct TableRow {
    int line = 0;
    QStringList cells; // the code span of each cell, "" when it has none
};

// The guide's byte notation: two hex digits, a control byte's name, or text in quotation marks.
std::optional<QByteArray> parseBytes(const QString &text, QString *error)
{
    static const QHash<QString, char> names{
        {"NUL", 0x00},  {"STX", 0x02},  {"ETX", 0x03},  {"ENQ", 0x05},
        {"BS", 0x08},   {"LF", 0x0A},   {"CR", 0x0D},   {"DLE", 0x10},
        {"ESC", 0x1B},  {"DEL", 0x7F},  {"IAC", char(0xFF)}, {"DONT", char(0xFE)},
        {"DO", char(0xFD)}, {"WONT", char(0xFC)}, {"WILL", char(0xFB)}, {"SB", char(0xFA)},
        {"SE", char(0xF0)}, {"NOP", char(0xF1)}};
    static const QRegularExpression token(QStringLiteral("\\s*(\"[^\"]*\"|\\S+)"));
    static const QRegularExpression hexPair(QStringLiteral("^[0-9A-F]{2}$"));
    QByteArray bytes;
    qsizetype pos = 0;
    while (pos < text.size()) {
        const QRegularExpressionMatch m = token.match(text, pos, QRegularExpression::NormalMatch,
                                                      QRegularExpression::AnchorAtOffsetMatchOption);
        if (!m.hasMatch())
            break;
        pos = m.capturedEnd();
        const QString t = m.captured(1);
        if (t.startsWith(QLatin1Char('"')) && t.size() >= 2 && t.endsWith(QLatin1Char('"')))
            bytes += t.mid(1, t.size() - 2).toLatin1();
        else if (hexPair.match(t).hasMatch())
            bytes += char(t.toInt(nullptr, 16));
        else if (names.contains(t))
            bytes += names.value(t);
        else {
            *error = QStringLiteral("unknown byte token '%1'").arg(t);
            return std::nullopt;
        }
    }
    return bytes;
}

QByteArray bytesOrFail(const QString &text, int line)
{
    QString error;
    const std::optional<QByteArray> bytes = parseBytes(text, &error);
    if (!bytes)
        qFatal("docs/host-guide.md line %d: %s", line, qPrintable(error));
    return *bytes;
}

std::optional<Keyboard::Key> keyNamed(const QString &name)
{
    if (name.size() == 1 && name[0] >= QLatin1Char('0') && name[0] <= QLatin1Char('9'))
        return static_cast<Keyboard::Key>(static_cast<int>(Keyboard::Key::K0) + (name[0].unicode() - '0'));
    if (name.size() == 1 && name[0] >= QLatin1Char('A') && name[0] <= QLatin1Char('Z'))
        return static_cast<Keyboard::Key>(static_cast<int>(Keyboard::Key::A) + (name[0].unicode() - 'A'));
    static const QHash<QString, Keyboard::Key> others{
        {"Space", Keyboard::Key::Space}, {",", Keyboard::Key::Virgula}, {".", Keyboard::Key::Ponto},
        {"Del", Keyboard::Key::Del},     {"Enter", Keyboard::Key::Enter}, {"Back", Keyboard::Key::Back}};
    if (others.contains(name))
        return others.value(name);
    return std::nullopt;
}

QByteArray framedForComutadora(const QByteArray &bytes)
{
    QByteArray framed;
    for (const char b : bytes)
        framed += QByteArray("\x02" "00") + b + '\x03';
    return framed;
}

QString printable(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

// One emulator connected to the test host, set up as an example asks.
class Session
{
public:
    EmulatorRig rig;
    std::unique_ptr<QTcpSocket> host;
    QByteArray received;
    int inputs = 0;
    bool comutadora = false;

    void start(const Example &setup)
    {
        comutadora = setup.comutadora;
        for (const auto &[name, content] : setup.files) {
            QFile file(rig.folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(content), content.size());
        }
        rig.writeConfig("[Config]\r\nPorta=" + QByteArray::number(rig.hostPort())
                        + "\r\nEndereco=127.0.0.1\r\nProtocolo=" + QByteArray::number(setup.protocol)
                        + "\r\nConexao=1\r\n[CodigoBarras]\r\nCofig_Leitor="
                        + QByteArray::number(setup.terminator) + "\r\nDelai=1\r\n");
        rig.start();
        // The ident listener on an ephemeral port: port 113 is privileged and shared.
        rig.app->connections().setTelNetPort(0);
        QTest::mouseClick(comutadora ? rig.form2().BtComutadora : rig.form2().BtTerminal, Qt::LeftButton);
        rig.protocolo().FormActivate();
        QTest::mouseClick(rig.protocolo().BtOK, Qt::LeftButton);
        QVERIFY(rig.form1().isVisible());
        host = rig.nextHostConnection();
        QVERIFY(host);
        QTRY_VERIFY(rig.form1().btCodigoBarras->isEnabled());
    }

    void send(const QByteArray &bytes)
    {
        QCOMPARE(host->write(bytes), bytes.size());
        QVERIFY(host->waitForBytesWritten(5000));
    }

    void expect(const QByteArray &bytes, int line)
    {
        QTRY_VERIFY2_WITH_TIMEOUT((received += host->readAll()).size() >= bytes.size(),
                                  qPrintable(QStringLiteral("line %1: waiting for %2, have %3")
                                                 .arg(line)
                                                 .arg(printable(bytes), printable(received))),
                                  5000);
        QVERIFY2(received.startsWith(bytes), qPrintable(QStringLiteral("line %1: expected %2, received %3")
                                                            .arg(line)
                                                            .arg(printable(bytes), printable(received))));
        received.remove(0, bytes.size());
    }

    // A click, and the steps it started (a function key's pauses, a barcode) to their end, as
    // a person who waits for what the terminal sends before the next click.
    void click(QAbstractButton *button)
    {
        button->click();
        QTRY_VERIFY(rig.app->terminal().operations().idle());
    }

    void press(Keyboard::Key key) { click(rig.form1().keyButton(key)); }

    void tick(QCheckBox *box, bool on)
    {
        if (box->isChecked() != on)
            box->click();
        QCOMPARE(box->isChecked(), on);
    }

    void setInput(int index, bool on)
    {
        QCheckBox *boxes[] = {rig.form1().CheckBox1, rig.form1().CheckBox2, rig.form1().CheckBox3,
                              rig.form1().CheckBox4};
        inputs = on ? inputs | (1 << index) : inputs & ~(1 << index);
        tick(boxes[index], on);
    }

    // Nothing but the report of one more input change may follow: whatever the
    // example left unsaid would come before it.
    void expectNothingMore()
    {
        setInput(3, !(inputs & 8));
        const QByteArray report = QByteArray("@") + char('0' + inputs);
        expect(comutadora ? framedForComutadora(report) : report, 0);
        QVERIFY2(rig.prompts.messages.isEmpty(), qPrintable(rig.prompts.texts().join(QLatin1Char('|'))));
    }
};

} // namespace

class TestHostGuide : public QObject
{
    Q_OBJECT

    QList<Example> m_examples;
    QList<TableRow> m_keys;
    QList<TableRow> m_telnet;

    static QStringList codeSpans(const QString &cell)
    {
        static const QRegularExpression span(QStringLiteral("`([^`]*)`"));
        QStringList spans;
        for (auto it = span.globalMatch(cell); it.hasNext();)
            spans.append(it.next().captured(1));
        return spans;
    }

    void runStatement(Session &s, const Statement &st)
    {
        DisplayModel &display = s.rig.app->display();
        const Outputs &outputs = *s.rig.app->context().outputs;
        const QString where = QStringLiteral("line %1").arg(st.line);
        if (st.verb == QLatin1String("host")) {
            s.send(bytesOrFail(st.rest, st.line));
        } else if (st.verb == QLatin1String("terminal")) {
            s.expect(bytesOrFail(st.rest, st.line), st.line);
        } else if (st.verb == QLatin1String("line1") || st.verb == QLatin1String("line2")) {
            const QByteArray want = bytesOrFail(st.rest, st.line).leftJustified(DisplayModel::kColumns, ' ');
            const bool first = st.verb == QLatin1String("line1");
            QTRY_COMPARE((first ? display.DisplayLine1() : display.DisplayLine2()), want);
        } else if (st.verb == QLatin1String("cursor")) {
            const QStringList rc = st.rest.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            QCOMPARE(rc.size(), 2);
            QTRY_COMPARE(display.CursorRow(), rc[0].toInt());
            QCOMPARE(display.CursorCol(), rc[1].toInt());
        } else if (st.verb == QLatin1String("printer") || st.verb == QLatin1String("serial")) {
            const auto &log = st.verb == QLatin1String("printer") ? outputs.parallelLog() : outputs.serialLog();
            const QByteArray want = bytesOrFail(st.rest, st.line);
            QTRY_VERIFY2(!log.empty() && log.back() == want,
                         qPrintable(where + QStringLiteral(": log ends with ")
                                    + (log.empty() ? QString() : QString::fromLatin1(log.back()))));
        } else if (st.verb == QLatin1String("leds")) {
            int want = 0;
            if (st.rest != QLatin1String("none"))
                for (const QString &n : st.rest.split(QLatin1Char(' '), Qt::SkipEmptyParts))
                    want |= 1 << n.toInt();
            const auto lit = [&] {
                int mask = 0;
                for (int i = 0; i < 4; ++i)
                    if (outputs.ledColor(i) == 0xFF0000)
                        mask |= 1 << i;
                return mask;
            };
            QTRY_COMPARE(lit(), want);
        } else if (st.verb == QLatin1String("press")) {
            for (const QString &name : st.rest.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
                const std::optional<Keyboard::Key> key = keyNamed(name);
                QVERIFY2(key, qPrintable(where + QStringLiteral(": no key ") + name));
                s.press(*key);
            }
        } else if (st.verb == QLatin1String("input")) {
            const QStringList parts = st.rest.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            QCOMPARE(parts.size(), 2);
            s.setInput(parts[0].toInt(), parts[1] == QLatin1String("on"));
        } else if (st.verb == QLatin1String("busy") || st.verb == QLatin1String("cts")
                   || st.verb == QLatin1String("scale")) {
            TForm1 &f = s.rig.form1();
            QCheckBox *box = st.verb == QLatin1String("busy") ? f.Busy
                             : st.verb == QLatin1String("cts") ? f.Cts
                                                               : f.Balanca;
            s.tick(box, st.rest == QLatin1String("on"));
        } else if (st.verb == QLatin1String("barcode")) {
            s.click(s.rig.form1().btCodigoBarras);
        } else if (st.verb == QLatin1String("playback")) {
            s.rig.form1().BtCarrega->click();
        } else {
            QFAIL(qPrintable(where + QStringLiteral(": unknown statement ") + st.verb));
        }
    }

private slots:
    void initTestCase()
    {
        QFile guide(qEnvironmentVariable("EMULATOR_SOURCE_DIR") + QStringLiteral("/docs/host-guide.md"));
        QVERIFY(guide.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(guide.readAll()).split(QLatin1Char('\n'));
        static const QRegularExpression statement(QStringLiteral("^([a-z0-9]+)(:?)\\s*(.*)$"));
        for (int i = 0; i < lines.size(); ++i) {
            if (lines[i].startsWith(QLatin1String("<!-- checked: "))) {
                QList<TableRow> &table = lines[i].contains(QLatin1String("keys")) ? m_keys : m_telnet;
                for (int j = i + 3; j < lines.size() && lines[j].startsWith(QLatin1Char('|')); ++j) {
                    TableRow row{j + 1, {}};
                    const QStringList cells = lines[j].split(QLatin1Char('|'));
                    for (int c = 1; c + 1 < cells.size(); ++c) {
                        const QStringList spans = codeSpans(cells[c]);
                        row.cells.append(spans.isEmpty() ? QString() : spans.first());
                    }
                    table.append(row);
                }
                continue;
            }
            if (lines[i] != QLatin1String("```example"))
                continue;
            Example ex;
            ex.line = i + 1;
            for (++i; i < lines.size() && lines[i] != QLatin1String("```"); ++i) {
                const QString line = lines[i].trimmed();
                if (line.startsWith(QLatin1Char('#'))) {
                    if (ex.title.isEmpty())
                        ex.title = line.mid(1).trimmed();
                    continue;
                }
                if (line.startsWith(QLatin1String("| "))) {
                    QVERIFY2(!ex.files.isEmpty(), qPrintable(QStringLiteral("line %1").arg(i + 1)));
                    ex.files.last().second += lines[i].mid(lines[i].indexOf(QLatin1String("| ")) + 2).toLatin1()
                                              + "\r\n";
                    continue;
                }
                if (line.isEmpty())
                    continue;
                const QRegularExpressionMatch m = statement.match(line);
                QVERIFY2(m.hasMatch(), qPrintable(QStringLiteral("line %1: %2").arg(i + 1).arg(line)));
                const QString verb = m.captured(1);
                const QString rest = m.captured(3);
                if (verb == QLatin1String("equipment"))
                    ex.comutadora = rest == QLatin1String("comutadora");
                else if (verb == QLatin1String("protocol"))
                    ex.protocol = QStringList{"vt100", "zorvane", "telnet"}.indexOf(rest);
                else if (verb == QLatin1String("terminator"))
                    ex.terminator = rest.toInt();
                else if (verb == QLatin1String("file"))
                    ex.files.append({rest, QByteArray()});
                else
                    ex.statements.append({i + 1, verb, rest});
            }
            QVERIFY2(ex.protocol >= 0, qPrintable(QStringLiteral("line %1: protocol").arg(ex.line)));
            if (ex.comutadora)
                ex.protocol = TerminalState::kZorvane;
            m_examples.append(ex);
        }
        // A guide that lost its examples would pass every check below.
        QVERIFY(m_examples.size() >= 20);
        QCOMPARE(m_keys.size(), Keyboard::kKeyCount);
        QCOMPARE(m_telnet.size(), 7);
    }

    void examples_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < m_examples.size(); ++i)
            QTest::newRow(qPrintable(QStringLiteral("line %1 %2").arg(m_examples[i].line).arg(m_examples[i].title)))
                << i;
    }

    void examples()
    {
        QFETCH(int, index);
        const Example &ex = m_examples[index];
        Session s;
        s.start(ex);
        if (QTest::currentTestFailed())
            return;
        for (const Statement &st : ex.statements) {
            runStatement(s, st);
            if (QTest::currentTestFailed())
                return;
        }
        s.expectNothingMore();
    }

    // Every key of the table in each protocol, and the digits after the
    // function-key prefix where the host can switch function-key mode on.
    void keyTable_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<bool>("comutadora");
        QTest::newRow("VT100") << int(TerminalState::kVt100) << false;
        QTest::newRow("Telnet") << int(TerminalState::kTelnet) << false;
        QTest::newRow("Zorvane") << int(TerminalState::kZorvane) << false;
        QTest::newRow("Comutadora") << int(TerminalState::kZorvane) << true;
    }

    void keyTable()
    {
        QFETCH(int, protocol);
        QFETCH(bool, comutadora);
        Example setup;
        setup.protocol = protocol;
        setup.comutadora = comutadora;
        Session s;
        s.start(setup);
        if (QTest::currentTestFailed())
            return;
        const bool vt100 = protocol != TerminalState::kZorvane;
        for (const TableRow &row : std::as_const(m_keys)) {
            const std::optional<Keyboard::Key> key = keyNamed(row.cells.value(0));
            QVERIFY2(key, qPrintable(QStringLiteral("line %1").arg(row.line)));
            const QByteArray bytes = bytesOrFail(row.cells.value(vt100 ? 1 : 2), row.line);
            s.press(*key);
            s.expect(comutadora ? framedForComutadora(bytes) : bytes, row.line);
            if (QTest::currentTestFailed())
                return;
        }
        if (vt100) {
            s.send(QByteArray("\x1b\x1b\xc0*"));
            QTRY_COMPARE(s.rig.app->display().DisplayLine1().left(1), QByteArray("*"));
            for (const TableRow &row : std::as_const(m_keys)) {
                if (row.cells.value(3).isEmpty())
                    continue;
                s.press(Keyboard::Key::Ponto);
                s.press(*keyNamed(row.cells.value(0)));
                s.expect(bytesOrFail(row.cells.value(3), row.line), row.line);
                if (QTest::currentTestFailed())
                    return;
            }
        }
        s.expectNothingMore();
    }

    // Each request of the Telnet table, followed by a DO TERMINAL-TYPE whose
    // answer shows that nothing else was sent for the request.
    void telnetTable()
    {
        Example setup;
        setup.protocol = TerminalState::kTelnet;
        Session s;
        s.start(setup);
        if (QTest::currentTestFailed())
            return;
        const char verbs[] = {char(0xFB), char(0xFC), char(0xFD), char(0xFE)};
        const QByteArray marker("\xff\xfd\x18");
        const QByteArray markerAnswer("\xff\xfb\x18");
        for (const TableRow &row : std::as_const(m_telnet)) {
            const QByteArray option = bytesOrFail(row.cells.value(0), row.line);
            QCOMPARE(option.size(), 1);
            for (int v = 0; v < 4; ++v) {
                s.send(QByteArray("\xff") + verbs[v] + option + marker);
                s.expect(bytesOrFail(row.cells.value(1 + v), row.line) + markerAnswer, row.line);
                if (QTest::currentTestFailed())
                    return;
            }
        }
        s.expectNothingMore();
    }
};

QTEST_MAIN(TestHostGuide)
#include "tst_host_guide.moc"
