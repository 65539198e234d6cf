#include "shell/config_file.h"

#include "engine/errors.h"
#include "engine/prompts.h"

#include <utility>

namespace {

const QByteArray kConfig = "Config";
const QByteArray kCodigoBarras = "CodigoBarras";
const QByteArray kSerial = "Serial";

} // namespace

ConfigFile::ConfigFile(const QString &path, Prompts &prompts)
    : m_store(path), m_prompts(prompts)
{
}

template <typename Write>
bool ConfigFile::attempt(Moment moment, Write &&write)
{
    try {
        std::forward<Write>(write)();
        return true;
    } catch (const AppError &) {
        const QString secondLine = moment == Moment::FirstStart
            ? QStringLiteral("Este aplicativo não pode ser executando a partir do CD-ROM!")
            : QStringLiteral("Este aplicativo não pode ser salvo a partir do CD-ROM!");
        m_prompts.showMessage(QStringLiteral("Erro"),
                              QStringLiteral("Erro ao escrever no arquivo de configuração.") + QChar(u'\r')
                                  + secondLine,
                              Prompts::Icon::None);
        m_prompts.requestTerminate();
        return false;
    }
}

bool ConfigFile::writeFirstStartDefaults()
{
    return attempt(Moment::FirstStart, [this] {
        m_store.writeString(kConfig, "Porta", "1001");
        m_store.writeString(kConfig, "Endereco", "127.0.0.1");
        m_store.writeInteger(kConfig, "Protocolo", 0);
        m_store.writeInteger(kConfig, "Conexao", 1);
        m_store.writeInteger(kCodigoBarras, "Cofig_Leitor", 1);
        m_store.writeString(kCodigoBarras, "Delai", "10");
        m_store.writeString(kSerial, "Porta", "1");
        m_store.writeString(kSerial, "Baud_Rate", "9600");
        m_store.writeString(kSerial, "Paridade", "0");
        m_store.writeString(kSerial, "NBits", "0");
        m_store.writeString(kSerial, "Stop_Bit", "0");
    });
}

int ConfigFile::readConexao() const { return m_store.readInteger(kConfig, "Conexao", 1); }
QByteArray ConfigFile::readPorta() const { return m_store.readString(kConfig, "Porta", "1001"); }
QByteArray ConfigFile::readEndereco() const { return m_store.readString(kConfig, "Endereco", "127.0.0.1"); }
int ConfigFile::readCofigLeitor() const { return m_store.readInteger(kCodigoBarras, "Cofig_Leitor", 1); }
int ConfigFile::readDelai() const { return m_store.readInteger(kCodigoBarras, "Delai", 10); }
bool ConfigFile::readInicializacao() const { return m_store.readBool(kConfig, "Inicializacao", false); }
int ConfigFile::readProtocolo() const { return m_store.readInteger(kConfig, "Protocolo", 0); }

bool ConfigFile::writeConexao(int role)
{
    return attempt(Moment::Running, [&] { m_store.writeInteger(kConfig, "Conexao", role); });
}

bool ConfigFile::writePorta(const QByteArray &port)
{
    return attempt(Moment::Running, [&] { m_store.writeString(kConfig, "Porta", port); });
}

bool ConfigFile::writeEndereco(const QByteArray &address)
{
    return attempt(Moment::Running, [&] { m_store.writeString(kConfig, "Endereco", address); });
}

bool ConfigFile::writeProtocolo(int kind)
{
    return attempt(Moment::Running, [&] { m_store.writeInteger(kConfig, "Protocolo", kind); });
}

bool ConfigFile::writeInicializacao(bool on)
{
    return attempt(Moment::Running, [&] { m_store.writeBool(kConfig, "Inicializacao", on); });
}

bool ConfigFile::writeBarcodeSettings(int terminatorIndex, const QByteArray &delayText)
{
    return attempt(Moment::Running, [&] {
        m_store.writeInteger(kCodigoBarras, "Cofig_Leitor", terminatorIndex);
        m_store.writeString(kCodigoBarras, "Delai", delayText);
    });
}

SerialSettings readSerialSettings(const IniStore &store)
{
    SerialSettings s;
    s.porta = store.readString(kSerial, "Porta", s.porta);
    s.baudRateText = store.readString(kSerial, "Baud_Rate", s.baudRateText);
    s.paridade = store.readInteger(kSerial, "Paridade", s.paridade);
    s.nBits = store.readInteger(kSerial, "NBits", s.nBits);
    s.stopBit = store.readInteger(kSerial, "Stop_Bit", s.stopBit);
    return s;
}

void writeSerialSettings(IniStore &store, const SerialSettings &settings)
{
    store.writeString(kSerial, "Porta", settings.porta);
    store.writeString(kSerial, "Baud_Rate", settings.baudRateText);
    store.writeInteger(kSerial, "Paridade", settings.paridade);
    store.writeInteger(kSerial, "NBits", settings.nBits);
    store.writeInteger(kSerial, "Stop_Bit", settings.stopBit);
}
