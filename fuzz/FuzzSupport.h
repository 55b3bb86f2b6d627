#pragma once
// What every fuzz target shares: reading choices from the input, files the
// product can open by name, and a check that stops the run with a message.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

// A broken invariant is a finding: libFuzzer saves the input that caused it.
#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);                        \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

// Takes choices from the front of the input; once it runs dry every choice is 0.
class CFuzzInput {
public:
    CFuzzInput(const uint8_t* pData, size_t nSize) : m_pData(pData), m_nSize(nSize) {}

    size_t Remaining() const { return m_nSize - m_nPos; }
    const uint8_t* Current() const { return m_pData + m_nPos; }

    uint8_t TakeByte() { return m_nPos < m_nSize ? m_pData[m_nPos++] : 0; }

    // 0 to nMax inclusive.
    size_t TakeUpTo(size_t nMax)
    {
        const size_t nValue = (size_t {TakeByte()} << 8) | TakeByte();
        return nMax == 0 ? 0 : nValue % (nMax + 1);
    }

    // The rest of the input as text.
    std::string_view TakeRest()
    {
        const std::string_view rest(reinterpret_cast<const char*>(m_pData + m_nPos), m_nSize - m_nPos);
        m_nPos = m_nSize;
        return rest;
    }

private:
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nPos = 0;
};

// Chunk lengths derived from a seed, so the same input always splits the
// same way: mostly short pieces, now and then a long one.
class CChunker {
public:
    explicit CChunker(uint32_t nSeed) : m_nState(nSeed * 2654435761u + 0x9E3779B9u) {}

    size_t Next()
    {
        m_nState = m_nState * 1664525u + 1013904223u;
        const uint32_t nBits = m_nState >> 16;
        return (nBits & 7) == 0 ? 1 + (nBits >> 3) % 64 : 1 + (nBits >> 3) % 4;
    }

private:
    uint32_t m_nState;
};

// A private folder in $VANTREL_FUZZ_TMPDIR, else on tmpfs, else in /tmp;
// removed at a normal exit. libFuzzer often ends without one, so fuzz/run
// points the variable at a folder of its own and removes that.
class CTempDir {
public:
    CTempDir()
    {
        const char* pszChosen = std::getenv("VANTREL_FUZZ_TMPDIR");
        for (const char* pszBase : {pszChosen, "/dev/shm", "/tmp"}) {
            if (pszBase == nullptr || *pszBase == '\0') {
                continue;
            }
            std::string strTemplate = std::string(pszBase) + "/vantrel-fuzz-XXXXXX";
            if (::mkdtemp(strTemplate.data()) != nullptr) {
                m_strPath = strTemplate;
                return;
            }
        }
    }
    ~CTempDir()
    {
        if (!m_strPath.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(m_strPath, ec);
        }
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

// Well-formed UTF-8: shortest forms only, no surrogates, nothing past U+10FFFF.
inline bool IsValidUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto nLead = static_cast<uint8_t>(text[i]);
        size_t nMore = 0;
        uint32_t nCode = 0;
        if (nLead < 0x80) {
            ++i;
            continue;
        }
        if (nLead >= 0xC2 && nLead <= 0xDF) {
            nMore = 1;
            nCode = nLead & 0x1Fu;
        } else if (nLead >= 0xE0 && nLead <= 0xEF) {
            nMore = 2;
            nCode = nLead & 0x0Fu;
        } else if (nLead >= 0xF0 && nLead <= 0xF4) {
            nMore = 3;
            nCode = nLead & 0x07u;
        } else {
            return false;
        }
        if (i + nMore >= text.size()) {
            return false;
        }
        for (size_t k = 1; k <= nMore; ++k) {
            const auto nNext = static_cast<uint8_t>(text[i + k]);
            if ((nNext & 0xC0) != 0x80) {
                return false;
            }
            nCode = (nCode << 6) | (nNext & 0x3Fu);
        }
        const uint32_t nMin = nMore == 1 ? 0x80 : nMore == 2 ? 0x800 : 0x10000;
        if (nCode < nMin || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF)) {
            return false;
        }
        i += nMore + 1;
    }
    return true;
}

// Code points of well-formed UTF-8.
inline size_t CountCodePoints(std::string_view text)
{
    size_t n = 0;
    for (const char c : text) {
        n += (static_cast<uint8_t>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return n;
}
