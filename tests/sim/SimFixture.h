#pragma once
// A simulator on a fresh pseudo-terminal with the host end opened on it.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "PtyClient.h"
#include "sim/CDeviceSimulator.h"

// The enter-IAP frame as the host sends it, byte for byte.
inline const Bytes kEnterFrame {0xFE, 0x02, 0xAC, 0x01, 0x53, 0xFE, 0x00, 0x00, 0xE5, 0x51};
inline const std::array<uint8_t, 6> kLeaveKey {0xFE, 0x53, 0x01, 0xAC, 0x00, 0x00};

class CSimTest : public ::testing::Test {
protected:
    void StartWith(const CSimConfig& config)
    {
        m_pSim = std::make_unique<CDeviceSimulator>(config);
        std::string strError;
        ASSERT_TRUE(m_pSim->Start(&strError)) << strError;
        ASSERT_TRUE(m_host.Open(m_pSim->SlavePath())) << m_pSim->SlavePath();
    }

    std::unique_ptr<CDeviceSimulator> m_pSim;
    CPtyClient m_host;
};
