#pragma once
// How the simulated device behaves: its versions, its line speed and the
// faults it is told to show. Plain data; the simulator copies it on Configure.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Faults that hit one exchange: the k-th frame carrying a given command code.
enum class EFaultKind {
    kRefuse,     // IAP: status 0xAA; flash: status 0x00 (command not carried out)
    kMalformed,  // IAP: status 0x00; flash: status 0x7F (command not carried out)
    kBadCrc,     // IAP: reply CRC inverted (command carried out); flash: no check to break
    kSilent,     // no reply at all (command carried out)
    kCut,        // only the first m_nArg reply bytes are sent (command carried out)
    kGarbage,    // m_nArg bytes of kSimGarbageByte go out before the reply
    kVanish,     // the line closes instead of answering (command not carried out)
};

// The byte sent as garbage: not a frame marker, not a status.
constexpr uint8_t kSimGarbageByte = 0xA5;
// The byte that closes every flash reply.
constexpr uint8_t kSimFlashClose = 0x0D;
// Status of a flash command that was refused (wrong sum, refused write...).
constexpr uint8_t kSimFlashRefused = 0x00;
// Status given by the malformed fault to a flash command.
constexpr uint8_t kSimFlashMalformed = 0x7F;
// Size of the simulated memory: 24-bit addresses.
constexpr uint32_t kSimMemorySize = 1u << 24;

struct CSimFault {
    uint8_t m_nCode = 0;
    EFaultKind m_eKind = EFaultKind::kRefuse;
    int m_nArg = 0;         // bytes kept (kCut) or garbage bytes sent (kGarbage)
    int m_nOccurrence = 1;  // hits the m_nOccurrence-th frame of m_nCode, counted from Configure
};

struct CCorruptByte {
    uint32_t m_nAddress = 0;
    bool m_bInvert = true;  // reads back as the inverse of what is stored...
    uint8_t m_nValue = 0;   // ...or, when not inverted, always as this value
};

struct CSimVersion {
    uint8_t m_n1 = 1;
    uint8_t m_n2 = 0;
    uint8_t m_n3 = 0;
};

// The USB serial adapter between the host and the device's UART.
enum class EAdapter {
    kNone,  // bytes pass at once, as on a bare line
    kFtdi,  // replies wait for 62 bytes or the latency timer; requests go at the next 1 ms frame
    kCdc,   // 1 ms frames both ways
};

// Bytes an FTDI adapter gathers before it sends a packet without waiting.
constexpr int kSimFtdiPacket = 62;
// The FTDI latency timer's default, in milliseconds.
constexpr int kSimFtdiLatencyMs = 16;

struct CSimConfig {
    CSimVersion m_appVersion;  // given by identify (0x03)
    CSimVersion m_fwVersion;   // given by query IAP mode (0xE3)
    // Bits per second for line-time emulation (10 bits per byte); 0 answers at once.
    int m_nBaudRate = 0;
    // The adapter in the way, and the FTDI latency timer (1 to 255 ms).
    EAdapter m_eAdapter = EAdapter::kNone;
    int m_nLatencyMs = kSimFtdiLatencyMs;
    // Received bytes the device holds before it has handled them; a byte that
    // arrives when it is full is lost, as a UART overrun loses it. 0: no limit.
    int m_nRxBuffer = 0;
    // Microseconds the device is busy with each write command (C2, C3) before
    // it answers; it keeps receiving into its buffer meanwhile.
    int m_nWriteUs = 0;
    // A symlink to the slave, replaced if present, removed on Stop; empty for none.
    std::string m_strLinkPath;
    // Every reply to this code carries this status. A command only takes
    // effect when both its own outcome and the status sent are "accepted".
    std::map<uint8_t, uint8_t> m_mapStatus;
    std::vector<CSimFault> m_vecFaults;
    // From the (n+1)-th command after Configure on, nothing is answered or
    // carried out (a hung device); -1 never.
    int m_nSilentAfter = -1;
    // A two- or one-byte write touching one of these is refused, nothing stored.
    std::vector<uint32_t> m_vecRefusedWrites;
    // Bytes that read back wrong over the line (ReadMemory shows the truth).
    std::vector<CCorruptByte> m_vecCorrupt;
    // Refuse flash commands (status 0x00) while not in IAP mode.
    bool m_bFlashNeedsIapMode = false;
    // Clear the whole memory to FF whenever IAP mode is entered, as devices
    // do whose boot loader erases the application before it takes a new one.
    bool m_bEraseOnEnter = false;
    // Keep every received frame for ReceivedFrames(); off for long benchmarks.
    bool m_bRecordFrames = true;
    // Each frame and reply in hex on stderr.
    bool m_bTrace = false;
    // Leave the line at a new tty's kernel defaults (echo, XON/XOFF, CR/NL
    // mapping), as a freshly plugged adapter has it, instead of making it raw:
    // a pty master shares its slave's settings, so a raw line here would hide
    // a host that forgets to make it raw. On by default so that every test
    // sees the line as it is; the vantrel-sim program makes it raw unless
    // asked. Takes effect at the next Start.
    bool m_bTtyDefaults = true;
    // The application's line: sent once when the device leaves IAP mode and
    // again every second until it enters IAP mode again; empty for none.
    std::vector<uint8_t> m_vecAppBanner;
    // Outside IAP mode the application sends back every byte that starts no
    // command, as a line-echoing application would.
    bool m_bEcho = false;
};

// Milliseconds between two banners of the application.
constexpr int kSimBannerPeriodMs = 1000;
