// Port enumeration through the system's own calls, run under Wine.
//
// What Wine exercises: the version query and the choice it leads to; the
// set-up API walk on a set with no COM port (what a plain prefix has) and on
// devices the tests register themselves, with the property reads, the UTF-16
// to UTF-8 step, the skipping, and the detail buffer's limit ending the walk
// with an error; the registry walk over a tree the tests write under
// HKEY_CURRENT_USER, with its name limits and the keys it may not open. The
// pure steps' tests (the fixed list among them) run in this program too.
// What it does not: ListComPorts taking the fixed list or the Enum tree (Wine
// reports NT 6), the version query, SetupDiGetClassDevs or an enumeration
// failing otherwise than by its end, and whether the keys opened before a
// failure are closed (the registry keeps no count a test can read).
#include <windows.h>

#include <setupapi.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/win32/WideText.h"
#include "serial/ComPortMap.h"
#include "serial/win32/CDevInfoSet.h"
#include "serial/win32/CRegKey.h"
#include "serial/DeviceWatch.h"
#include "serial/win32/PortList.h"

namespace {

// What the tests check of a record: the rest follows from these.
struct SExpectedPort {
    std::string strOpenPath;
    std::string strComName;
    std::string strDisplayName;
    int onUsb;
    std::string strDeviceText;
};

void ExpectPorts(const PortInfoList& ports, const std::vector<SExpectedPort>& expected)
{
    ASSERT_EQ(ports.size(), expected.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].openPath, expected[i].strOpenPath) << i;
        EXPECT_EQ(ports[i].comName, expected[i].strComName) << i;
        EXPECT_EQ(ports[i].displayName, expected[i].strDisplayName) << i;
        EXPECT_EQ(ports[i].onUsb, expected[i].onUsb) << i;
        EXPECT_EQ(ports[i].deviceText, expected[i].strDeviceText) << i;
    }
}

// Runs a listing that must fail; returns its message ("" when none came).
template <typename TList>
std::string FailureOf(TList list)
{
    try {
        list();
    } catch (const CPortEnumerationError& error) {
        return error.what();
    }
    return "";
}

TEST(WinePorts, ListComPortsAsksTheSetupApiWhichHasNoComPorts)
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    ASSERT_TRUE(::GetVersionExA(&version));
    // Wine reports an NT system of version 6 or later: the set-up API is asked.
    EXPECT_EQ(version.dwPlatformId, kPlatformWin32Nt);
    EXPECT_GE(version.dwMajorVersion, 6u);
    EXPECT_EQ(ChoosePortSource(version.dwMajorVersion, version.dwPlatformId), EPortSource::Setup);

    // Wine's COM ports are links to ttys in the prefix, not Plug and Play
    // devices: the set-up API gives a valid set whose first enumeration ends
    // with ERROR_NO_MORE_ITEMS, so the list is empty and nothing is thrown.
    CComPortMap comPorts;
    PortInfoList ports(2);
    EXPECT_NO_THROW(ListComPorts(comPorts, ports));
    EXPECT_TRUE(ports.empty());
}

// ---------------------------------------------------------------------------
// The registry walk, over a tree written under a key of the test's own.

constexpr wchar_t kTestKey[] = L"Software\\vantrel-test";

CRegKey CreateKey(HKEY hParent, const std::wstring& strPath)
{
    HKEY hKey = nullptr;
    EXPECT_EQ(::RegCreateKeyExW(hParent, strPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
              ERROR_SUCCESS)
        << WideToUtf8(strPath);
    return CRegKey(hKey);
}

void SetText(HKEY hKey, const wchar_t* pszName, const std::wstring& strValue)
{
    EXPECT_EQ(::RegSetValueExW(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(strValue.c_str()),
                               static_cast<DWORD>((strValue.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

// A key whose security descriptor allows nobody anything: opening it for
// reading fails as it would for a key of another user. Its owner may still
// give the access back.
void SetKeyLocked(HKEY hParent, const std::wstring& strPath, bool bLocked)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(hParent, strPath.c_str(), 0, WRITE_DAC, &hKey), ERROR_SUCCESS) << WideToUtf8(strPath);
    const CRegKey key(hKey);
    SECURITY_DESCRIPTOR descriptor;
    ACL emptyAcl;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::InitializeAcl(&emptyAcl, sizeof(emptyAcl), ACL_REVISION);
    // Locked: an empty list of grants; unlocked: no list, so no limits.
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, bLocked ? &emptyAcl : nullptr, FALSE);
    EXPECT_EQ(::RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, &descriptor), ERROR_SUCCESS);
}

class EnumTreeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveTree();
        m_root = CreateKey(HKEY_CURRENT_USER, kTestKey);
    }
    void TearDown() override { RemoveTree(); }

    void RemoveTree()
    {
        for (const std::wstring& strPath : m_lockedKeys)
            SetKeyLocked(m_root.Get(), strPath, false);
        m_lockedKeys.clear();
        m_root.Reset();
        const LSTATUS nStatus = ::RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
        ASSERT_TRUE(nStatus == ERROR_SUCCESS || nStatus == ERROR_FILE_NOT_FOUND) << nStatus;
    }

    // <test key>\Enum\<strPath>, with the values given (none where null).
    void AddInstance(const std::wstring& strPath, const wchar_t* pszPortName, const wchar_t* pszFriendlyName = nullptr)
    {
        const CRegKey instance = CreateKey(m_root.Get(), L"Enum\\" + strPath);
        if (pszPortName != nullptr)
            SetText(instance.Get(), L"PORTNAME", pszPortName);
        if (pszFriendlyName != nullptr)
            SetText(instance.Get(), L"FRIENDLYNAME", pszFriendlyName);
    }

    void Lock(const std::wstring& strPath)
    {
        SetKeyLocked(m_root.Get(), L"Enum\\" + strPath, true);
        m_lockedKeys.push_back(L"Enum\\" + strPath);
    }

    // A tree with every kind of key the walk meets. The registry lists
    // subkeys in name order, case ignored ('*' before letters), on Windows
    // and Wine alike, so the order of the records is known.
    void AddMixedTree()
    {
        AddInstance(L"BIOS\\*PNP0500\\00", L"COM3", L"Old UART (COM3)");
        AddInstance(L"BIOS\\*PNP0501\\00", L"COM1", L"Communications Port (COM1)");
        AddInstance(L"BIOS\\*PNP0501\\01", nullptr, L"No port name (COM9)");
        AddInstance(L"BIOS\\*PNP0501\\02", L"COM2");
        // Not a serial device, though it names a port.
        AddInstance(L"BIOS\\*PNP0303\\00", L"COM8", L"Keyboard (COM8)");
        // The same port again from another enumerator: its texts win, in
        // the first one's place.
        AddInstance(L"ISAPNP\\*PNP0501\\07", L"COM1", L"Plug and Play port (COM1)");
        // Every device of USBPORTS is taken, and is on USB.
        AddInstance(L"USBPORTS\\FTDIBUS\\0000", L"COM5", L"USB 串行端口 (COM5)");
        AddInstance(L"USBPORTS\\PL2303\\0000", L"COM6");
    }

    // The mixed tree's first nCount records, COM1 with the texts of its
    // second instance once that has been read.
    static std::vector<SExpectedPort> MixedTreePorts(size_t nCount = 5, bool bMerged = true)
    {
        std::vector<SExpectedPort> ports = {
            {"\\\\.\\COM3", "COM3", "Old UART (COM3)", 0, ""},
            {"\\\\.\\COM1", "COM1", bMerged ? "Plug and Play port (COM1)" : "Communications Port (COM1)", 0, ""},
            {"\\\\.\\COM2", "COM2", "", 0, ""},
            {"\\\\.\\COM5", "COM5", "USB 串行端口 (COM5)", 1, ""},
            {"\\\\.\\COM6", "COM6", "", 1, ""},
        };
        ports.resize(nCount);
        return ports;
    }

    CRegKey m_root;
    std::vector<std::wstring> m_lockedKeys;
};

TEST_F(EnumTreeTest, SerialInstancesListedAndMerged)
{
    AddMixedTree();
    PortInfoList ports;
    ListPortsFromEnumKey(m_root.Get(), ports);
    ExpectPorts(ports, MixedTreePorts());
}

TEST_F(EnumTreeTest, AKeyThatCannotBeOpenedStopsTheWalkWithTheRecordsSoFar)
{
    const struct {
        const wchar_t* pszLocked;
        const char* pszMessage;
        size_t nPortsBefore;
        bool bMerged;
    } cases[] = {
        {L"ISAPNP", "Could not read from HKLM\\Enum\\ISAPNP", 3, false},
        {L"BIOS\\*PNP0501", "Could not read from HKLM\\Enum\\BIOS\\*PNP0501", 1, false},
        {L"BIOS\\*PNP0501\\02", "Could not read from HKLM\\Enum\\...\\02", 2, false},
        {L"USBPORTS\\PL2303", "Could not read from HKLM\\Enum\\USBPORTS\\PL2303", 4, true},
        // A key the walk passes over is never opened.
        {L"BIOS\\*PNP0303", "", 5, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszMessage);
        RemoveTree();
        m_root = CreateKey(HKEY_CURRENT_USER, kTestKey);
        AddMixedTree();
        Lock(c.pszLocked);
        PortInfoList ports;
        EXPECT_EQ(FailureOf([&] { ListPortsFromEnumKey(m_root.Get(), ports); }), c.pszMessage);
        ExpectPorts(ports, MixedTreePorts(c.nPortsBefore, c.bMerged));
    }
}

TEST_F(EnumTreeTest, NoEnumKeyIsAnErrorThatLeavesTheListAlone)
{
    PortInfoList ports(1);
    ports[0].comName = "COM4";
    EXPECT_EQ(FailureOf([&] { ListPortsFromEnumKey(m_root.Get(), ports); }), "Could not read from HKLM\\Enum");
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].comName, "COM4");
}

TEST_F(EnumTreeTest, NamesLongerThanTheirBuffersAreNotRead)
{
    // A key name of 128 characters does not fit its buffer with the
    // terminating zero: the level ends there, and the keys after it in
    // name order ("BIOS" after "AAA…") are not reached either.
    for (const size_t nLength : {size_t(127), size_t(128)}) {
        SCOPED_TRACE(nLength);
        RemoveTree();
        m_root = CreateKey(HKEY_CURRENT_USER, kTestKey);
        AddInstance(std::wstring(nLength, L'A') + L"\\*PNP0501\\00", L"COM1");
        AddInstance(L"BIOS\\*PNP0501\\00", L"COM2");
        PortInfoList ports;
        ListPortsFromEnumKey(m_root.Get(), ports);
        if (nLength == 127)
            ExpectPorts(ports, {{"\\\\.\\COM1", "COM1", "", 0, ""}, {"\\\\.\\COM2", "COM2", "", 0, ""}});
        else
            EXPECT_TRUE(ports.empty());
    }

    // A port name of 128 characters counts as missing: that instance alone
    // is passed over.
    for (const size_t nLength : {size_t(127), size_t(128)}) {
        SCOPED_TRACE(nLength);
        RemoveTree();
        m_root = CreateKey(HKEY_CURRENT_USER, kTestKey);
        const std::wstring strLongName = L"COM" + std::wstring(nLength - 3, L'9');
        AddInstance(L"BIOS\\*PNP0501\\00", strLongName.c_str());
        AddInstance(L"BIOS\\*PNP0501\\01", L"COM2");
        PortInfoList ports;
        ListPortsFromEnumKey(m_root.Get(), ports);
        std::vector<SExpectedPort> expected = {{"\\\\.\\COM2", "COM2", "", 0, ""}};
        if (nLength == 127)
            expected.insert(expected.begin(),
                            {"\\\\.\\" + WideToUtf8(strLongName), WideToUtf8(strLongName), "", 0, ""});
        ExpectPorts(ports, expected);
    }
}

// ---------------------------------------------------------------------------
// The set-up API walk, over devices the tests register in the Ports class.
// Registering needs the rights of an administrator, which every Wine process
// has. Wine takes a device interface as present when its Control key says
// Linked, which its drivers write; Windows keeps that state in the kernel,
// so these tests run under Wine only.

constexpr GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr wchar_t kTestEnumerator[] = L"ROOT\\VANTRELTEST\\";
constexpr wchar_t kComPortClassKey[] =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

bool RunningUnderWine()
{
    const HMODULE hNtdll = ::GetModuleHandleW(L"ntdll.dll");
    return hNtdll != nullptr && ::GetProcAddress(hNtdll, "wine_get_version") != nullptr;
}

// The texts a test device is given; an empty optional is a property not set.
struct SDeviceTexts {
    std::optional<std::wstring> friendlyName;
    std::optional<std::wstring> description;
    std::optional<std::wstring> location;
};

class SetupDevicesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!RunningUnderWine())
            GTEST_SKIP() << "a device is made present here the way Wine records it";
        RemoveTestDevices();
    }
    void TearDown() override { RemoveTestDevices(); }

    // Removes every device of the test enumerator, with its interfaces.
    static void RemoveTestDevices()
    {
        const CDevInfoSet set(::SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, 0));
        ASSERT_TRUE(set.IsValid());
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        DWORD nCount = 0;
        while (::SetupDiEnumDeviceInfo(set.Get(), nCount, &device))
            ++nCount;
        // From the last, so that a removal cannot move one still to be seen.
        for (DWORD nIndex = nCount; nIndex-- > 0;) {
            ASSERT_TRUE(::SetupDiEnumDeviceInfo(set.Get(), nIndex, &device));
            wchar_t id[256] = {};
            ::SetupDiGetDeviceInstanceIdW(set.Get(), &device, id, 256, nullptr);
            if (std::wstring(id).starts_with(kTestEnumerator)) {
                EXPECT_TRUE(::SetupDiRemoveDevice(set.Get(), &device)) << WideToUtf8(id);
            }
        }
    }

    // Registers ROOT\VANTRELTEST\<strId> with the texts given and a present
    // COM-port interface (with a reference string when one is given);
    // returns the interface's path as the system gives it.
    static std::string AddDevice(const std::wstring& strId, const SDeviceTexts& texts,
                                 const std::wstring& strReference = L"", const std::wstring& strPortName = L"")
    {
        const CDevInfoSet set(::SetupDiCreateDeviceInfoList(&kPortsClass, nullptr));
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        const std::wstring strInstance = kTestEnumerator + strId;
        EXPECT_TRUE(
            ::SetupDiCreateDeviceInfoW(set.Get(), strInstance.c_str(), &kPortsClass, nullptr, nullptr, 0, &device));
        EXPECT_TRUE(::SetupDiRegisterDeviceInfo(set.Get(), &device, 0, nullptr, nullptr, nullptr));
        const auto setText = [&](DWORD nProperty, const std::optional<std::wstring>& text) {
            if (text) {
                EXPECT_TRUE(::SetupDiSetDeviceRegistryPropertyW(
                    set.Get(), &device, nProperty, reinterpret_cast<const BYTE*>(text->c_str()),
                    static_cast<DWORD>((text->size() + 1) * sizeof(wchar_t))));
            }
        };
        setText(SPDRP_FRIENDLYNAME, texts.friendlyName);
        setText(SPDRP_DEVICEDESC, texts.description);
        setText(SPDRP_LOCATION_INFORMATION, texts.location);
        // The port driver's name for it, in the device's own key.
        if (!strPortName.empty()) {
            const HKEY hKey =
                ::SetupDiCreateDevRegKeyW(set.Get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
            EXPECT_NE(hKey, INVALID_HANDLE_VALUE);
            CRegKey key;
            key.Reset(hKey);
            EXPECT_EQ(::RegSetValueExW(key.Get(), L"PortName", 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(strPortName.c_str()),
                                       static_cast<DWORD>((strPortName.size() + 1) * sizeof(wchar_t))),
                      ERROR_SUCCESS);
        }

        SP_DEVICE_INTERFACE_DATA iface = {};
        iface.cbSize = sizeof(iface);
        EXPECT_TRUE(::SetupDiCreateDeviceInterfaceW(set.Get(), &device, &kComPortInterface,
                                                    strReference.empty() ? nullptr : strReference.c_str(), 0, &iface));
        std::vector<std::byte> buffer(4096);
        auto* pDetail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        pDetail->cbSize = sizeof(*pDetail);
        EXPECT_TRUE(::SetupDiGetDeviceInterfaceDetailW(set.Get(), &iface, pDetail, static_cast<DWORD>(buffer.size()),
                                                       nullptr, nullptr));
        MarkLinked(strId);
        return WideToUtf8(pDetail->DevicePath);
    }

    // Writes Linked under every interface of the device, as Wine's drivers
    // do for a device that is there.
    static void MarkLinked(const std::wstring& strId)
    {
        const CRegKey classKey = CreateKey(HKEY_LOCAL_MACHINE, kComPortClassKey);
        std::wstring strDevicePart = L"#vantreltest#" + strId + L"#";
        for (wchar_t& c : strDevicePart)
            c = static_cast<wchar_t>(::towlower(c));
        for (DWORD nIface = 0;; ++nIface) {
            wchar_t ifaceName[512];
            DWORD nLength = 512;
            if (::RegEnumKeyExW(classKey.Get(), nIface, ifaceName, &nLength, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            std::wstring strIface(ifaceName, nLength);
            for (wchar_t& c : strIface)
                c = static_cast<wchar_t>(::towlower(c));
            if (strIface.find(strDevicePart) == std::wstring::npos)
                continue;
            const CRegKey ifaceKey = CreateKey(classKey.Get(), strIface);
            for (DWORD nReference = 0;; ++nReference) {
                wchar_t referenceName[512];
                DWORD nReferenceLength = 512;
                if (::RegEnumKeyExW(ifaceKey.Get(), nReference, referenceName, &nReferenceLength, nullptr, nullptr,
                                    nullptr, nullptr) != ERROR_SUCCESS)
                    break;
                const std::wstring strControl = std::wstring(referenceName, nReferenceLength) + L"\\Control";
                const CRegKey control = CreateKey(ifaceKey.Get(), strControl);
                const DWORD nLinked = 1;
                EXPECT_EQ(::RegSetValueExW(control.Get(), L"Linked", 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&nLinked), sizeof(nLinked)),
                          ERROR_SUCCESS);
            }
        }
    }
};

TEST_F(SetupDevicesTest, ListedWhenFriendlyNameAndDescriptionAreRead)
{
    const std::wstring strLongest(255, L'F');  // with its zero, the 256 characters of the buffer
    const std::optional<std::wstring> none;
    const struct {
        const wchar_t* pszId;
        SDeviceTexts texts;
        bool bListed;
        int onUsb;
    } cases[] = {
        {L"0000", {L"USB 串行端口 (COM7)", L"", L"USB\\VID_0403&PID_6001"}, true, 1},
        {L"0001", {L"Communications Port (COM1)", L"Communications Port", L"Port_#0001.Hub_#0004"}, true, 0},
        {L"0002", {L"No description (COM3)", none, L"USB"}, false, 0},
        {L"0003", {none, L"Only a description", L"USB"}, false, 0},
        {L"0004", {L"Lower-case mark (COM4)", L"Adapter", L"usb"}, true, 0},
        {L"0005", {L"No location (COM5)", L"Adapter", none}, true, 0},
        {L"0006", {strLongest, L"Adapter", none}, true, 0},
        {L"0007", {strLongest + L"F", L"Adapter", L"USB"}, false, 0},
    };
    // Wine lists the interfaces in the order of their keys' names.
    std::vector<SExpectedPort> expected;
    for (const auto& c : cases) {
        const std::string strPath = AddDevice(c.pszId, c.texts);
        if (c.bListed)
            expected.push_back(
                {strPath, "", WideToUtf8(*c.texts.friendlyName), c.onUsb, WideToUtf8(*c.texts.description)});
    }
    PortInfoList ports(1);
    ports[0].comName = "COM99";
    ListPortsFromSetup(ports);
    // What was there stays, the new ones follow.
    ASSERT_FALSE(ports.empty());
    EXPECT_EQ(ports[0].comName, "COM99");
    ports.erase(ports.begin());
    ExpectPorts(ports, expected);

    // ListComPorts takes this walk on Wine and completes the texts.
    CComPortMap comPorts;
    ListComPorts(comPorts, ports);
    ASSERT_EQ(ports.size(), expected.size());
    EXPECT_EQ(ports[0].deviceText, "USB 串行端口");
    EXPECT_EQ(ports[0].comName, "");
    EXPECT_EQ(ports[1].deviceText, "Communications Port");
}

// The port search and the device watch take their devices from one walk:
// the watch sees the COM ports the search lists, by the port driver's name,
// in natural order; a device with no COM name is the search's alone.
TEST_F(SetupDevicesTest, PortsAndTheWatchShowTheSameDevices)
{
    AddDevice(L"0000", {L"USB Serial Port (COM12)", L"USB Serial Port", L"USB"}, L"", L"COM12");
    AddDevice(L"0001", {L"Communications Port (COM2)", L"Communications Port", std::nullopt}, L"", L"COM2");
    AddDevice(L"0002", {L"No port name", L"Adapter", std::nullopt});
    CComPortMap comPorts;
    PortInfoList ports;
    ListComPorts(comPorts, ports);
    std::vector<std::string> searched;
    for (const PortInfo& port : ports)
        searched.push_back(port.displayName);
    EXPECT_EQ(searched,
              (std::vector<std::string> {"USB Serial Port (COM12)", "Communications Port (COM2)", "No port name"}));

    CDeviceWatch watch({});
    std::vector<std::string> watched;
    for (const SSerialDevice& device : watch.PresentDevices())
        watched.push_back(device.strPath);
    EXPECT_EQ(watched, (std::vector<std::string> {"\\\\.\\COM2", "\\\\.\\COM12"}));
}

TEST_F(SetupDevicesTest, ThePortBoxShowsTheFriendlyNameElseTheName)
{
    AddDevice(L"0000", {L"USB 串行端口 (COM7)", L"USB 串行端口", L"USB"});
    AddDevice(L"0001", {L"Communications Port (COM2)", L"Communications Port", std::nullopt});
    AddDevice(L"0002", {L"Past the box (COM20)", L"Adapter", std::nullopt});
    AddDevice(L"0003", {L"No number", L"Adapter", std::nullopt});
    CComPortMap comPorts;
    comPorts.SetPath(3, "\\\\?\\usb#vid_0403&pid_6001");  // a pin: its path says what the number stands for
    const std::vector<std::string> texts = ComPortBoxTexts(comPorts, kOfferedComPorts);
    std::vector<std::string> expected;
    for (int n = 1; n <= kOfferedComPorts; ++n)
        expected.push_back(ComName(n));
    expected[1] = "Communications Port (COM2)";
    expected[2] = "COM3  \\\\?\\usb#vid_0403&pid_6001";
    expected[6] = "USB 串行端口 (COM7)";
    EXPECT_EQ(texts, expected);
}

TEST_F(SetupDevicesTest, APathLongerThanTheDetailBufferStopsTheWalk)
{
    // "\\?\root#vantreltest#0001#{86e0d1e0-…}\" is 65 characters; the buffer
    // holds 256 and the zero.
    const SDeviceTexts usbPort = {L"USB Serial Port (COM7)", L"", L"USB"};
    for (const size_t nReference : {size_t(191), size_t(192)}) {
        SCOPED_TRACE(nReference);
        RemoveTestDevices();
        const std::string strFirst = AddDevice(L"0000", usbPort);
        const std::string strSecond = AddDevice(L"0001", usbPort, std::wstring(nReference, L'r'));
        ASSERT_EQ(strSecond.size(), 65 + nReference);

        PortInfoList ports;
        const std::string strFailure = FailureOf([&] { ListPortsFromSetup(ports); });
        CComPortMap comPorts;
        PortInfoList completed;
        EXPECT_EQ(FailureOf([&] { ListComPorts(comPorts, completed); }), strFailure);
        if (nReference == 191) {
            EXPECT_EQ(strFailure, "");
            ExpectPorts(ports, {{strFirst, "", "USB Serial Port (COM7)", 1, ""},
                                {strSecond, "", "USB Serial Port (COM7)", 1, ""}});
            ASSERT_EQ(completed.size(), 2u);
            EXPECT_EQ(completed[1].deviceText, "USB Serial Port");
        } else {
            // ERROR_INSUFFICIENT_BUFFER; the first record stays, and
            // ListComPorts leaves it as found, its texts not completed.
            EXPECT_EQ(strFailure, "SetupDiGetDeviceInterfaceDetail failed. (err=7a)");
            ExpectPorts(ports, {{strFirst, "", "USB Serial Port (COM7)", 1, ""}});
            ExpectPorts(completed, {{strFirst, "", "USB Serial Port (COM7)", 1, ""}});
        }
    }
}

}  // namespace
