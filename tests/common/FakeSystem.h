#pragma once
// A small sysfs and /dev tree, laid out the way the kernel lays them out, for
// the port search to walk: USB adapters, on-board UART lines, virtual
// terminals and the console. A node can lead to a real pseudo-terminal, so
// that a port the search finds can be opened; Use() points the search of this
// process and of the programs it starts at the tree.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class CFakeSystem {
public:
    CFakeSystem()
    {
        std::string strTemplate = (std::filesystem::temp_directory_path() / "vantrel-ports-XXXXXX").string();
        if (::mkdtemp(strTemplate.data()) != nullptr)
            m_root = strTemplate;
        std::filesystem::create_directories(Sys() / "class" / "tty");
        std::filesystem::create_directories(Dev() / "serial" / "by-id");
    }
    ~CFakeSystem()
    {
        if (m_bUsed) {
            ::unsetenv("VANTREL_SYSFS");
            ::unsetenv("VANTREL_DEV");
        }
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }
    CFakeSystem(const CFakeSystem&) = delete;
    CFakeSystem& operator=(const CFakeSystem&) = delete;

    // The search (ListComPorts) walks this tree until the object goes.
    void Use()
    {
        ::setenv("VANTREL_SYSFS", Sys().c_str(), 1);
        ::setenv("VANTREL_DEV", Dev().c_str(), 1);
        m_bUsed = true;
    }

    std::filesystem::path Root() const { return m_root; }
    std::filesystem::path Sys() const { return m_root / "sys"; }
    std::filesystem::path Dev() const { return m_root / "dev"; }
    std::string Node(const std::string& strName) const { return (Dev() / strName).string(); }
    std::string ById(const std::string& strLink) const { return (Dev() / "serial" / "by-id" / strLink).string(); }

    // A USB adapter on hub port strUsbPort. strProduct empty: the device
    // names no product. strById empty: udev made no by-id link.
    void PlugUsb(const std::string& strTty, const std::string& strUsbPort, const std::string& strProduct,
                 const std::string& strDriver, const std::string& strById, bool bNode = true)
    {
        const std::filesystem::path usbDevice = UsbDevice(strUsbPort);
        WriteText(usbDevice / "idVendor", "0403\n");
        if (!strProduct.empty())
            WriteText(usbDevice / "product", strProduct + "\n");
        const std::filesystem::path port = usbDevice / (strUsbPort + ":1.0") / strTty;
        AddTty(strTty, port / "tty" / strTty, port, strDriver);
        if (bNode)
            WriteText(Dev() / strTty, "");
        if (!strById.empty())
            std::filesystem::create_symlink("../../" + strTty, ById(strById));
    }
    // The serial number the adapter on hub port strUsbPort gives.
    void SetUsbSerial(const std::string& strUsbPort, const std::string& strSerial)
    {
        WriteText(UsbDevice(strUsbPort) / "serial", strSerial + "\n");
    }
    void Unplug(const std::string& strTty, const std::string& strUsbPort, const std::string& strById)
    {
        std::filesystem::remove(Sys() / "class" / "tty" / strTty);
        std::filesystem::remove_all(UsbDevice(strUsbPort));
        std::filesystem::remove(Dev() / strTty);
        if (!strById.empty())
            std::filesystem::remove(ById(strById));
    }
    // An on-board UART line under strDevice; strType is what its type file reads.
    void AddUart(const std::string& strTty, const std::string& strDevice, const std::string& strDriver,
                 const std::string& strType)
    {
        const std::filesystem::path device = Sys() / "devices" / strDevice;
        const std::filesystem::path tty = device / "tty" / strTty;
        AddTty(strTty, tty, device, strDriver);
        if (!strType.empty())
            WriteText(tty / "type", strType + "\n");
        WriteText(Dev() / strTty, "");
    }
    // A UART line as the serial core lays it out since it has devices of its
    // own: the controller, its "ctrl" device, then one "port" device per line.
    void AddSerialCoreUart(const std::string& strTty, const std::string& strController, const std::string& strDriver,
                           const std::string& strLine, const std::string& strType)
    {
        const std::filesystem::path controller = Sys() / "devices" / strController;
        const std::string strBase = controller.filename().string();
        const std::filesystem::path ctrl = controller / (strBase + ":0");
        const std::filesystem::path port = ctrl / (strBase + ":0." + strLine);
        AddUart(strTty, strController + "/" + strBase + ":0/" + strBase + ":0." + strLine, "", strType);
        LinkDriver(controller, "platform", strDriver);
        LinkDriver(ctrl, "serial-base", "ctrl");
        LinkDriver(port, "serial-base", "port");
    }
    // A terminal with no device behind it (tty0, ptmx, console).
    void AddVirtual(const std::string& strTty)
    {
        const std::filesystem::path tty = Sys() / "devices" / "virtual" / "tty" / strTty;
        std::filesystem::create_directories(tty);
        WriteText(tty / "dev", "4:0\n");
        std::filesystem::create_symlink(tty, Sys() / "class" / "tty" / strTty);
        WriteText(Dev() / strTty, "");
    }
    // The kernel's console: the tty "console" and the names its "active"
    // file lists, as a kernel booted with console=ttyS0 shows "tty0 ttyS0".
    void SetConsole(const std::string& strActive)
    {
        if (!std::filesystem::exists(Sys() / "class" / "tty" / "console"))
            AddVirtual("console");
        WriteText(Sys() / "class" / "tty" / "console" / "active", strActive + "\n");
    }
    // The node strTty becomes a link to strTarget (a pseudo-terminal), so that
    // opening the port the search found reaches it.
    void LinkNode(const std::string& strTty, const std::string& strTarget)
    {
        std::filesystem::remove(Dev() / strTty);
        std::filesystem::create_symlink(strTarget, Dev() / strTty);
    }

private:
    static void WriteText(const std::filesystem::path& path, const std::string& strText)
    {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << strText;
    }
    std::filesystem::path UsbDevice(const std::string& strUsbPort) const
    {
        return Sys() / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / strUsbPort;
    }
    void AddTty(const std::string& strTty, const std::filesystem::path& tty, const std::filesystem::path& device,
                const std::string& strDriver)
    {
        std::filesystem::create_directories(tty);
        std::filesystem::create_symlink(tty, Sys() / "class" / "tty" / strTty);
        std::filesystem::create_symlink(device, tty / "device");
        if (!strDriver.empty())
            LinkDriver(device, "any", strDriver);
    }
    void LinkDriver(const std::filesystem::path& device, const std::string& strBus, const std::string& strDriver)
    {
        const std::filesystem::path driver = Sys() / "bus" / strBus / "drivers" / strDriver;
        std::filesystem::create_directories(driver);
        if (!std::filesystem::exists(device / "driver"))
            std::filesystem::create_symlink(driver, device / "driver");
    }

    std::filesystem::path m_root;
    bool m_bUsed = false;
};
