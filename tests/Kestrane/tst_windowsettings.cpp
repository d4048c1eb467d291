// The desktop's reading and writing of config.ini: what the window takes from the file, and
// the in-place write of the collection settings at each start, the OPC UA security included.

#include <sys/stat.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <stdexcept>

#include "Kestrane/windowsettings.h"
#include "journel/ini_file.h"
#include "log_capture.h"
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

pyqar::UaSecurity secured(const std::string& password) {
  return {.policy = pyqar::UaSecurityPolicy::Basic256Sha256,
          .mode = pyqar::UaSecurityMode::SignAndEncrypt,
          .username = "operator",
          .password = password,
          .pki_dir = "ignored: never written"};
}

// The permission bits of a file, as the file system has them.
unsigned mode_of(const QString& path) {
  struct stat status {};
  if (::stat(QFile::encodeName(path).constData(), &status) != 0) return 0;
  return status.st_mode & 0777;
}

void set_mode(const QString& path, unsigned mode) {
  if (::chmod(QFile::encodeName(path).constData(), mode) != 0) qFatal("chmod failed");
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

  void StartWithoutTsdbIsReadAndNeedsTheSpool() {
    dir_->write(QStringLiteral("config.ini"), "[TSDBConnection]\ndriver = sqlite\n");
    QVERIFY(!WindowSettings::load(dir_->file("config.ini")).start_without_tsdb());
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\nstart_without_tsdb = true\n");
    QVERIFY(WindowSettings::load(dir_->file("config.ini")).start_without_tsdb());
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\nstart_without_tsdb = maybe\n");
    QVERIFY_THROWS_EXCEPTION(journel::IniError, WindowSettings::load(dir_->file("config.ini")));
    dir_->write(QStringLiteral("config.ini"),
                "[Kestrane]\nstart_without_tsdb = true\nspool_max_mb = 0\n");
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
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"config.ini"});
  }

  void SecurityRoundTripsThroughTheFileForItsOwnerAlone() {
    const QByteArray before =
        "# plant PC\n[TSDBConnection]\ndriver = sqlite\n\n[Kestrane]\n; the server\n"
        "opc_schema = opc.tcp://plant:4840\nopc_type = OPC UA\n";
    dir_->write(QStringLiteral("config.ini"), before);
    const QString path = dir_->file("config.ini");
    set_mode(path, 0644);
    WindowSettings settings = WindowSettings::load(path);
    QCOMPARE(settings.security().policy, pyqar::UaSecurityPolicy::None);
    QCOMPARE(settings.security().pki_dir, (QDir(dir_->path()).filePath("pki")).toStdString());
    WindowSettings::Collection start = collection(QStringLiteral("opc.tcp://plant:4840"));
    start.opc_type = QStringLiteral("OPC UA");
    start.security = secured("pa%ss");
    settings.save(start);

    QCOMPARE(mode_of(path), 0600u);
    const QByteArray after = dir_->read(QStringLiteral("config.ini"));
    QVERIFY2(after.startsWith("# plant PC\n[TSDBConnection]\ndriver = sqlite\ndbname = plant\n"
                              "\n[Kestrane]\n; the server\n"),
             after.constData());
    QVERIFY2(after.contains("opc_security_policy = Basic256Sha256\n"
                            "opc_security_mode = SignAndEncrypt\nopc_username = operator\n"
                            "opc_password = pa%%ss\n"),
             after.constData());
    QVERIFY(!after.contains("pki"));

    const WindowSettings reread = WindowSettings::load(path);
    QCOMPARE(reread.security().policy, pyqar::UaSecurityPolicy::Basic256Sha256);
    QCOMPARE(reread.security().mode, pyqar::UaSecurityMode::SignAndEncrypt);
    QCOMPARE(reread.security().username, std::string("operator"));
    QCOMPARE(reread.security().password, std::string("pa%ss"));
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"config.ini"});
  }

  void FileWithoutPasswordKeepsItsModeAndGainsNoSecurityKeys() {
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\nopc_schema = opc.da://old/S\n");
    const QString path = dir_->file("config.ini");
    set_mode(path, 0640);
    WindowSettings settings = WindowSettings::load(path);
    WindowSettings::Collection start = collection();
    start.security = settings.security();
    settings.save(start);
    QCOMPARE(mode_of(path), 0640u);
    QVERIFY(!dir_->read(QStringLiteral("config.ini")).contains("opc_security"));
    QVERIFY(!dir_->read(QStringLiteral("config.ini")).contains("opc_password"));

    // A user name alone is no secret either.
    start.security->username = "operator";
    settings.save(start);
    QCOMPARE(mode_of(path), 0640u);
    QVERIFY(dir_->read(QStringLiteral("config.ini")).contains("opc_username = operator\n"));
    QVERIFY(!dir_->read(QStringLiteral("config.ini")).contains("opc_password"));
  }

  void ClearedPasswordIsEmptiedNotLeftBehind() {
    dir_->write(QStringLiteral("config.ini"),
                "[Kestrane]\nopc_username = operator\nopc_password = old-secret\n");
    WindowSettings settings = WindowSettings::load(dir_->file("config.ini"));
    WindowSettings::Collection start = collection();
    start.security = settings.security();
    start.security->username.clear();
    start.security->password.clear();
    settings.save(start);
    const QByteArray after = dir_->read(QStringLiteral("config.ini"));
    QVERIFY2(after.contains("opc_username =\nopc_password =\n"), after.constData());
    QVERIFY(!after.contains("old-secret"));
    QCOMPARE(WindowSettings::load(dir_->file("config.ini")).security().password, std::string());
  }

  void DatabasePasswordAloneLeavesTheModeAsBefore() {
    dir_->write(QStringLiteral("config.ini"), "[TSDBConnection]\npassword = db-secret\n");
    const QString path = dir_->file("config.ini");
    set_mode(path, 0644);
    WindowSettings::load(path).save(collection());
    QCOMPARE(mode_of(path), 0644u);
  }

  void DatabasePasswordOthersMayReadIsWarnedAbout() {
    kestrane_test::LogCapture log("Kestrane");
    dir_->write(QStringLiteral("config.ini"), "[TSDBConnection]\npassword = db-secret\n");
    const QString path = dir_->file("config.ini");
    set_mode(path, 0644);
    WindowSettings::load(path);
    QVERIFY2(log.has("warning", path.toStdString() +
                                    " holds [TSDBConnection] password and other users may read "
                                    "it; restrict it with: chmod 600 " +
                                    path.toStdString()),
             log.dump().c_str());
    log.clear();
    set_mode(path, 0600);
    WindowSettings::load(path);
    QVERIFY2(log.records().empty(), log.dump().c_str());
  }

  void PasswordTheFileCannotHoldIsNotQuoted() {
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\n");
    WindowSettings settings = WindowSettings::load(dir_->file("config.ini"));
    WindowSettings::Collection start = collection();
    start.security = secured("first\r\nSecretRest");
    try {
      settings.save(start);
      QFAIL("wrote a password the file cannot hold");
    } catch (const journel::IniError& e) {
      QVERIFY2(!QString::fromUtf8(e.what()).contains(QStringLiteral("Secret")), e.what());
      QVERIFY2(QString::fromUtf8(e.what()).contains(QStringLiteral("opc_password")), e.what());
    }
    QCOMPARE(dir_->read(QStringLiteral("config.ini")), QByteArray("[Kestrane]\n"));
  }

  void BadSecurityValueFailsTheLoadNamingTheKey() {
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\nopc_security_mode = Encrypt\n");
    try {
      WindowSettings::load(dir_->file("config.ini"));
      QFAIL("loaded an unknown mode");
    } catch (const std::runtime_error& e) {
      QVERIFY2(QString::fromUtf8(e.what()).startsWith(
                   QStringLiteral("[Kestrane] opc_security_mode = Encrypt")),
               e.what());
    }
  }

  void AcquisitionRoundTripsAndAFileThatNeverSawItGainsNoKeys() {
    const QByteArray before = "[Kestrane]\nopc_schema = opc.tcp://old:4840\n";
    dir_->write(QStringLiteral("config.ini"), before);
    WindowSettings settings = WindowSettings::load(dir_->file("config.ini"));
    QCOMPARE(settings.acquisition().mode, pyqar::Acquisition::read);
    WindowSettings::Collection start = collection(QStringLiteral("opc.tcp://old:4840"));
    start.acquisition = settings.acquisition();
    settings.save(start);
    // Polling with every default: the file reads as before and gains nothing.
    QVERIFY(!dir_->read(QStringLiteral("config.ini")).contains("opc_acquisition"));
    QVERIFY(!dir_->read(QStringLiteral("config.ini")).contains("opc_deadband"));
    QVERIFY(!dir_->read(QStringLiteral("config.ini")).contains("opc_backfill"));

    quellin::AcquisitionOptions chosen;
    chosen.mode = pyqar::Acquisition::subscribe;
    chosen.monitor = {.sampling_interval_ms = 250.0,
                      .queue_size = 3,
                      .deadband_type = pyqar::DeadbandType::absolute,
                      .deadband = 0.5};
    chosen.heartbeat_seconds = 60.0;
    chosen.tag_monitor["never written"] = chosen.monitor;
    start.acquisition = chosen;
    settings.save(start);
    const QByteArray after = dir_->read(QStringLiteral("config.ini"));
    QVERIFY2(after.contains("opc_acquisition = subscribe\nopc_sampling_interval = 0.25\n"
                            "opc_queue_size = 3\nopc_deadband_type = absolute\n"
                            "opc_deadband = 0.5\nopc_heartbeat = 60.0\n"),
             after.constData());
    QVERIFY(!after.contains("never written"));
    const WindowSettings reread = WindowSettings::load(dir_->file("config.ini"));
    QCOMPARE(reread.acquisition().mode, pyqar::Acquisition::subscribe);
    QVERIFY(reread.acquisition().monitor == chosen.monitor);
    QCOMPARE(reread.acquisition().heartbeat_seconds, 60.0);

    // Back to the defaults: keys already in the file are rewritten, so the file reads as polling
    // again; a sampling that follows the publishing interval is an empty value.
    start.acquisition = quellin::AcquisitionOptions{};
    settings.save(start);
    QVERIFY2(dir_->read(QStringLiteral("config.ini")).contains("opc_sampling_interval =\n"),
             dir_->read(QStringLiteral("config.ini")).constData());
    const WindowSettings polling = WindowSettings::load(dir_->file("config.ini"));
    QCOMPARE(polling.acquisition().mode, pyqar::Acquisition::read);
    QVERIFY(polling.acquisition().monitor == pyqar::MonitorSettings{});
  }

  void BackfillKeysRoundTripAndOnlyTheChangedOnesAreAdded() {
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\nopc_backfill_rate = 100\n");
    WindowSettings settings = WindowSettings::load(dir_->file("config.ini"));
    QCOMPARE(settings.acquisition().backfill.rate_values_per_second, 100.0);
    QVERIFY(!settings.acquisition().backfill.enabled);
    WindowSettings::Collection start = collection(QStringLiteral("opc.tcp://old:4840"));
    quellin::AcquisitionOptions chosen = settings.acquisition();
    chosen.backfill.enabled = true;
    chosen.backfill.initial_seconds = 0.25;
    start.acquisition = chosen;
    settings.save(start);
    const QByteArray after = dir_->read(QStringLiteral("config.ini"));
    // The key already there is kept in place; the maximum age stays at its default, unwritten.
    QVERIFY2(after.contains("opc_backfill_rate = 100.0\n"), after.constData());
    QVERIFY2(after.contains("opc_backfill = true\n"), after.constData());
    QVERIFY2(after.contains("opc_backfill_initial = 0.25\n"), after.constData());
    QVERIFY2(!after.contains("opc_backfill_max_age"), after.constData());
    const WindowSettings reread = WindowSettings::load(dir_->file("config.ini"));
    QVERIFY(reread.acquisition().backfill.enabled);
    QCOMPARE(reread.acquisition().backfill.initial_seconds, 0.25);
    QCOMPARE(reread.acquisition().backfill.max_age_seconds, 86400.0);
    QCOMPARE(reread.acquisition().backfill.rate_values_per_second, 100.0);
  }

  void EventKeysRoundTripAndOnlyTheChangedOnesAreAdded() {
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\nopc_event_types = i=2782\n");
    WindowSettings settings = WindowSettings::load(dir_->file("config.ini"));
    QCOMPARE(settings.acquisition().events.types, std::vector<std::string>{"i=2782"});
    QVERIFY(!settings.acquisition().events.enabled());
    WindowSettings::Collection start = collection(QStringLiteral("opc.tcp://old:4840"));
    quellin::AcquisitionOptions chosen = settings.acquisition();
    // A "%" of an escaped namespace URI is doubled in the file, so that it reads back as itself.
    chosen.events.notifiers = {"i=2253", "nsu=urn:a%3Bb;s=A,B"};
    start.acquisition = chosen;
    settings.save(start);
    const QByteArray after = dir_->read(QStringLiteral("config.ini"));
    QVERIFY2(after.contains("opc_event_types = i=2782\n"), after.constData());
    QVERIFY2(after.contains("opc_events = i=2253, \"nsu=urn:a%%3Bb;s=A,B\"\n"), after.constData());
    QVERIFY2(!after.contains("opc_event_fields"), after.constData());
    const WindowSettings reread = WindowSettings::load(dir_->file("config.ini"));
    QVERIFY(reread.acquisition().events == chosen.events);

    // Turned off again: the keys in the file are emptied, which reads as no events.
    start.acquisition = quellin::AcquisitionOptions{};
    settings.save(start);
    const WindowSettings off = WindowSettings::load(dir_->file("config.ini"));
    QVERIFY(off.acquisition().events == pyqar::EventSettings{});
  }

  void StructureAndMetadataKeysRoundTripAndDefaultsAddNothing() {
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\nopc_structures = RAW\n");
    WindowSettings settings = WindowSettings::load(dir_->file("config.ini"));
    QVERIFY(!settings.acquisition().decode_structures);
    QVERIFY(settings.acquisition().read_metadata);
    WindowSettings::Collection start = collection(QStringLiteral("opc.tcp://old:4840"));
    quellin::AcquisitionOptions chosen = settings.acquisition();
    chosen.read_metadata = false;
    start.acquisition = chosen;
    settings.save(start);
    const QByteArray after = dir_->read(QStringLiteral("config.ini"));
    QVERIFY2(after.contains("opc_structures = raw\n"), after.constData());
    QVERIFY2(after.contains("opc_metadata = false\n"), after.constData());
    const WindowSettings reread = WindowSettings::load(dir_->file("config.ini"));
    QVERIFY(!reread.acquisition().decode_structures);
    QVERIFY(!reread.acquisition().read_metadata);

    // Back to the defaults: the keys present are written with them, no others appear.
    start.acquisition = quellin::AcquisitionOptions{};
    settings.save(start);
    const QByteArray back = dir_->read(QStringLiteral("config.ini"));
    QVERIFY2(back.contains("opc_structures = decoded\n"), back.constData());
    QVERIFY2(back.contains("opc_metadata = true\n"), back.constData());
    const WindowSettings defaults = WindowSettings::load(dir_->file("config.ini"));
    QVERIFY(defaults.acquisition().decode_structures);
    QVERIFY(defaults.acquisition().read_metadata);
  }

  void BadBackfillValueFailsTheLoadNamingTheKey() {
    dir_->write(QStringLiteral("config.ini"), "[Kestrane]\nopc_backfill_max_age = 0\n");
    try {
      WindowSettings::load(dir_->file("config.ini"));
      QFAIL("loaded a maximum age of 0");
    } catch (const std::runtime_error& e) {
      QCOMPARE(QString::fromUtf8(e.what()),
               QStringLiteral("[Kestrane] opc_backfill_max_age = 0: the maximum age must lie "
                              "between 0 (excluded) and 3153600000 seconds"));
    }
  }

  void BadAcquisitionValueFailsTheLoadNamingTheKey() {
    dir_->write(QStringLiteral("config.ini"),
                "[Kestrane]\nopc_deadband_type = percent\nopc_deadband = 120\n");
    try {
      WindowSettings::load(dir_->file("config.ini"));
      QFAIL("loaded a percentage above 100");
    } catch (const std::runtime_error& e) {
      QCOMPARE(QString::fromUtf8(e.what()),
               QStringLiteral("[Kestrane] opc_deadband = 120: a percent deadband must lie "
                              "between 0 and 100"));
    }
  }

  void WriteFollowsALinkToItsTarget() {
    dir_->write(QStringLiteral("real.ini"), "[Kestrane]\n");
    QVERIFY(QFile::link(dir_->file("real.ini"), dir_->file("config.ini")));
    WindowSettings settings = WindowSettings::load(dir_->file("config.ini"));
    settings.save(collection());
    QVERIFY(QFileInfo(dir_->file("config.ini")).isSymLink());
    QVERIFY(dir_->read(QStringLiteral("real.ini")).contains("opc_host = host"));
  }

 private:
  std::unique_ptr<ScratchDir> dir_;
};

KESTRANE_TEST_MAIN(TestWindowSettings)
#include "tst_windowsettings.moc"
