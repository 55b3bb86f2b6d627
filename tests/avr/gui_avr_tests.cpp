// The Qt dialog writes the example application into the reference
// bootloader running in vantrel-avr-sim, pinned to COM3, as an operator
// with such a board would.
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include <fstream>
#include <iterator>
#include <memory>

#include "app/CLoaderDlg.h"
#include "common/ChildProcess.h"
#include "core/LogSink.h"
#include "download/FirmwareReader.h"
#include "tests/gui/GuiFixture.h"

namespace {

const std::string kFirmwareDir = VANTREL_AVR_FIRMWARE_DIR;

class CNoLog : public CLogSink {
public:
    void AppendLog(const std::string&, int) override {}
};

}  // namespace

class CAvrDialogTests : public QObject {
    Q_OBJECT
private slots:
    void DialogWritesTheExampleApplicationIntoTheBootloader();
};

void CAvrDialogTests::DialogWritesTheExampleApplicationIntoTheBootloader()
{
    CGuiEnv env;
    const std::string strFlash = env.m_dir.Path("flash.bin");
    const std::string strLink = env.m_dir.Path("line");
    auto pDevice = std::make_unique<CChildProcess>(
        VANTREL_AVR_SIM_EXE, std::vector<std::string> {"--boot", kFirmwareDir + "/avr-bootloader.elf", "--flash",
                                                       strFlash, "--link", strLink});
    QVERIFY(pDevice->WaitForOutput("/dev/pts/"));

    env.WriteIni("PortNum=2\r\n", "", {{3, strLink}});
    std::unique_ptr<CLoaderDlg> pDlg = ShowDialog();
    const std::string strHex = kFirmwareDir + "/avr-example-app-1.0.0.hex";
    Ctrl<QLineEdit>(pDlg.get(), "m_editFilePath")->setText(QString::fromStdString(strHex));
    QTest::mouseClick(Ctrl<QRadioButton>(pDlg.get(), "m_radioProgram"), Qt::LeftButton);
    Ctrl<QLineEdit>(pDlg.get(), "m_editVerMajor")->setText("1");
    Ctrl<QLineEdit>(pDlg.get(), "m_editVerMinor")->setText("0");
    Ctrl<QLineEdit>(pDlg.get(), "m_editVerPatch")->setText("0");
    QPushButton* pStart = Ctrl<QPushButton>(pDlg.get(), "m_btnStart");
    QTest::mouseClick(pStart, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(pStart->text(), QStringLiteral("&Cancel"), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(pStart->text(), QStringLiteral("&Start Downloading"), 30000);
    const QString strLog = LogText(pDlg.get());
    QVERIFY2(strLog.contains("-- Download successfully."), qPrintable(strLog));
    QVERIFY2(strLog.contains("0.0.0"), qPrintable(strLog));
    pDlg.reset();

    pDevice->Signal(SIGTERM);
    QCOMPARE(pDevice->Wait(), 0);
    std::ifstream file(strFlash, std::ios::binary);
    const std::vector<uint8_t> vecFlash((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    QCOMPARE(vecFlash.size(), size_t(32 * 1024));
    FirmwareImage image;
    CNoLog log;
    QCOMPARE(LoadHexFile(strHex, image, log), 1);
    QVERIFY(!image.empty());
    for (const FirmwareBlock& block : image) {
        const auto nAt = static_cast<size_t>(block.address);
        QCOMPARE(std::vector<uint8_t>(vecFlash.begin() + nAt, vecFlash.begin() + nAt + block.length),
                 std::vector<uint8_t>(block.data, block.data + block.length));
    }
}

QTEST_MAIN(CAvrDialogTests)
#include "gui_avr_tests.moc"
