// The desktop's reading and writing of config.ini: what the window takes from the file, and
// the in-place write of the collection settings at each start.

#include <QDir>
#include <QFile>
#include <QTest>
#include <stdexcept>

#include "Kestrane/windowsettings.h"
#include "journel/ini_file.h"
#include "testsupport.h"

namespace {

WindowSettings::Collection collection(const QString& schema = QStringLiteral("opc.da://h/S")) {
  return {.dbname = QStringLiteral("plant"),
          .opc_host = QStringLiteral("host"),
          .opc_schema = schema,
          .opc_type = QStringLiteral("OPC DA"),
          .opc_port = QStringLiteral("0"),
          .tag_csv_path = std::nullopt};
}

}  // namespace

class TestWindowSettings : public QObject {
  Q_OBJECT

 private slots:
  void init() { dir_ = std::make_unique<ScratchDir>(); }
  void cleanup() { dir_.reset(); }

  void MissingFileNamesThePath() {
    try {
      WindowSettings::load(dir_->file("config.ini"));
      QFAIL("loaded a missing file");
    } catch (const std::runtime_error& e) {
      QCOMPARE(QString::fromUtf8(e.what()),
               QStringLiteral("Configuration file not found: ") + dir_->file("config.ini"));
    }
  }

  void ReadsTheWindowsKeysWithTheirDefaults() {
    dir_->write(QStringLiteral("config.ini"), "[TSDBConnection]\ndriver = sqlite\n");
    const WindowSettings defaults = WindowSettings::load(dir_->file("config.ini"));
    QCOMPARE(defaults.opc_type(), QStringLiteral("OPC DA"));
    QCOMPARE(defaults.opc_host(), QStringLiteral("localhost"));
    QCOMPARE(defaults.opc_schema(), QString());
    QVERIFY(!defaults.opc_port().has_value());
    QCOMPARE(defaults.tsdb_cfg().driver, std::string("sqlite"));
    QCOMPARE(defaults.tsdb_cfg().dbname, std::string("tsdb_default"));

    // The port is read only under OPC UA, so a broken one under OPC DA does no harm.
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\nopc_type = OPC DA\nopc_port = x\n");
    QVERIFY(!WindowSettings::load(dir_->file("config.ini")).opc_port().has_value());
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\nopc_type = OPC UA\nopc_port = 4841\n");
    QCOMPARE(WindowSettings::load(dir_->file("config.ini")).opc_port(), std::optional<int>(4841));
  }

  void TsdbSettingsAreCheckedLikeTheConsoles() {
    dir_->write(QStringLiteral("config.ini"), "[TSDBConnection]\nport = 70000\n");
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, WindowSettings::load(dir_->file("config.ini")));
    dir_->write(QStringLiteral("config.ini"), "[TSDBConnection]\ndriver = oracle\n");
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, WindowSettings::load(dir_->file("config.ini")));
  }

  void SaveReplacesOnlyWhatChanged() {
    const QByteArray before =
        "\xEF\xBB\xBF; site settings\r\n[TSDBConnection]\r\ndbname = plant\r\n\r\n"
        "[Kestrane]\r\n# the server\r\nopc_schema = opc.da://old/S\r\nopc_host = host\r\n"
        "opc_type = OPC DA\r\nopc_port = 0\r\n";
    dir_->write(QStringLiteral("config.ini"), before);
    const WindowSettings settings = WindowSettings::load(dir_->file("config.ini"));
    settings.save(collection());
    QByteArray expected = before;
    expected.replace("opc.da://old/S", "opc.da://h/S");
    QCOMPARE(dir_->read(QStringLiteral("config.ini")), expected);
  }

  void SaveWritesTheTagFileOnlyWhenKnownAndEscapesPercent() {
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\ntag_csv_path = old.csv\n");
    const WindowSettings settings = WindowSettings::load(dir_->file("config.ini"));
    settings.save(collection());
    QVERIFY(dir_->read(QStringLiteral("config.ini")).contains("tag_csv_path = old.csv"));
    WindowSettings::Collection with_path = collection(QStringLiteral("opc.da://50%/S"));
    with_path.tag_csv_path = QStringLiteral("/data/100% tags.csv");
    with_path.dbname = QStringLiteral("  ");
    settings.save(with_path);
    const auto ini = journel::IniFile::read_file(dir_->file("config.ini").toStdString());
    QCOMPARE(ini.get_string("Kestrane", "tag_csv_path", ""), std::string("/data/100% tags.csv"));
    QCOMPARE(ini.get_string("Kestrane", "opc_schema", ""), std::string("opc.da://50%/S"));
    QCOMPARE(ini.get_string("TSDBConnection", "dbname", ""), std::string("tsdb_default"));
  }

  void SaveCreatesAMissingFile() {
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\n");
    const WindowSettings settings = WindowSettings::load(dir_->file("config.ini"));
    QVERIFY(QFile::remove(dir_->file("config.ini")));
    settings.save(collection());
    const auto ini = journel::IniFile::read_file(dir_->file("config.ini").toStdString());
    QCOMPARE(ini.get_string("TSDBConnection", "dbname", ""), std::string("plant"));
    QCOMPARE(ini.get_string("Kestrane", "opc_host", ""), std::string("host"));
  }

  void BrokenFileIsNeitherWrittenNorLost() {
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\n");
    const WindowSettings settings = WindowSettings::load(dir_->file("config.ini"));
    const QByteArray broken = "[Kestrane]\nopc_host = a\nopc_host = b\n";
    dir_->write(QStringLiteral("config.ini"), broken);
    QVERIFY_THROWS_EXCEPTION(journel::IniError, settings.save(collection()));
    QCOMPARE(dir_->read(QStringLiteral("config.ini")), broken);
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files), QStringList{"config.ini"});
  }

 private:
  std::unique_ptr<ScratchDir> dir_;
};

KESTRANE_TEST_MAIN(TestWindowSettings)
#include "tst_windowsettings.moc"
