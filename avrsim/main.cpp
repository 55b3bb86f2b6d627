// vantrel-avr-sim: an ATmega328P in simavr running the reference bootloader,
// its UART on a pseudo-terminal and its flash in a file. Runs until SIGINT or
// SIGTERM and then writes the flash file.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "avrsim/CAvrHost.h"
#include "core/StandardStreams.h"

#if defined(__SANITIZE_ADDRESS__)
// simavr keeps its interrupt lines (their names, their hooks) until the
// process ends; they are not ours to free.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:avr_init_irq\nleak:avr_alloc_irq\nleak:avr_irq_register_notify\n";
}
#endif

int main(int argc, char** argv)
{
    OpenStandardStreams();
    IgnoreBrokenPipes();
    CAvrHostOptions options;
    CLI::App app("An ATmega328P at 16 MHz in simavr, running the bootloader ELF, its UART on a pseudo-terminal",
                 "vantrel-avr-sim");
    app.add_option("--boot", options.m_strBoot, "the bootloader's ELF, linked into the boot section at 0x7000")
        ->required()
        ->check(CLI::ExistingFile);
    app.add_option("--app", options.m_strApp, "an application (Intel HEX) written over the flash at start")
        ->check(CLI::ExistingFile);
    app.add_option("--flash", options.m_strFlash,
                   "the flash, 32 KiB: read at start when it exists, written at the end (SIGINT, SIGTERM)");
    app.add_option("--link", options.m_strLink,
                   "a symbolic link to the line (the pseudo-terminal's slave), replaced if present, removed at exit");
    app.add_flag("--free-run", options.m_bFreeRun, "run as fast as the machine allows, not held to real time");
    app.add_option("--seconds", options.m_dStopAfterSeconds, "stop after this much simulated time")
        ->check(CLI::PositiveNumber);
    CLI11_PARSE(app, argc, argv);

    // The signals are taken by the run loop, between slices of simulated time.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    CAvrHost host;
    std::string strError;
    if (!host.Start(options, strError)) {
        std::fprintf(stderr, "vantrel-avr-sim: %s\n", strError.c_str());
        return 1;
    }
    std::printf("%s\n", host.SlavePath().c_str());
    std::fflush(stdout);
    const bool bRan = host.Run();
    const double dSimulated = static_cast<double>(host.Cycles()) / CAvrHost::kFrequency;
    std::fprintf(stderr, "vantrel-avr-sim: %.3f s simulated in %.3f s: %.2f times real time; %llu bytes lost\n",
                 dSimulated, host.WallSeconds(), host.WallSeconds() > 0 ? dSimulated / host.WallSeconds() : 0.0,
                 static_cast<unsigned long long>(host.LostBytes()));
    if (!host.SaveFlash(strError)) {
        std::fprintf(stderr, "vantrel-avr-sim: %s\n", strError.c_str());
        return 1;
    }
    if (!bRan) {
        std::fprintf(stderr, "vantrel-avr-sim: the firmware crashed\n");
        return 3;
    }
    return 0;
}
