#pragma once

#include "shell/ini_store.h"

#include <QByteArray>
#include <QString>

class Prompts;

// "Config.ini" as the emulator uses it: one named operation for each value the
// system reads or writes in the sections "Config" and "CodigoBarras", so that no
// caller spells a section or key name. Reads go straight to the file and give
// the documented value when a key is missing; nothing is cached.
//
// A failed write shows the "Erro" message through Prompts, asks the application
// to terminate and returns false; the caller then skips its remaining steps.
class ConfigFile {
public:
    ConfigFile(const QString &path, Prompts &prompts);

    IniStore &store() { return m_store; }
    const IniStore &store() const { return m_store; }
    bool exists() const { return m_store.exists(); }

    // The eleven values of a new file, sections "Config", "CodigoBarras",
    // "Serial" in that order. The caller writes them only when the file is
    // absent; on a failure the values after the failing one are not written.
    bool writeFirstStartDefaults();

    int readConexao() const;           // ConnectionRole, 1 when missing
    QByteArray readPorta() const;      // TCP port text, "1001"
    QByteArray readEndereco() const;   // host address, "127.0.0.1"
    int readCofigLeitor() const;       // barcode terminator index, 1
    int readDelai() const;             // BarcodeCharDelay, 10 (also for text that is no number)
    bool readInicializacao() const;    // automatic start, false
    int readProtocolo() const;         // ProtocolKind, 0

    bool writeConexao(int role);
    bool writePorta(const QByteArray &port);
    bool writeEndereco(const QByteArray &address);
    bool writeProtocolo(int kind);
    bool writeInicializacao(bool on);
    // "Cofig_Leitor" then "Delai" (the delay as typed); the second is skipped
    // when the first fails.
    bool writeBarcodeSettings(int terminatorIndex, const QByteArray &delayText);

private:
    enum class Moment { Running, FirstStart };
    template <typename Write>
    bool attempt(Moment moment, Write &&write);

    IniStore m_store;
    Prompts &m_prompts;
};

// Section "Serial": the PC COM port's line settings as the serial settings
// dialog shows them (bit rate as text, the others as item indexes).
struct SerialSettings {
    QByteArray porta = "1";
    QByteArray baudRateText = "9600";
    int paridade = 0;
    int nBits = 0;
    int stopBit = 0;
};

// Missing keys give the defaults above; the whole section when the file is absent.
SerialSettings readSerialSettings(const IniStore &store);
// "Porta", "Baud_Rate", "Paridade", "NBits", "Stop_Bit" in this order. Throws
// AppError("Unable to write to ...") at the first failure; later keys are not written.
void writeSerialSettings(IniStore &store, const SerialSettings &settings);
