/* The example application: prints its banner at start and every second,
 * answers identify with its version, and on enter sets the IAP flag and
 * resets into the bootloader by the watchdog; the bootloader then gives the
 * accepted reply. */
#include <stdint.h>

#include <avr/eeprom.h>
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/wdt.h>

#include "DeviceLine.h"

#ifndef APP_VERSION_MAJOR
#define APP_VERSION_MAJOR 1
#define APP_VERSION_MINOR 0
#define APP_VERSION_PATCH 0
#endif

#define STRINGIFY_(x) #x
#define STRINGIFY(x) STRINGIFY_(x)
#define VERSION_TEXT                                                                                                   \
    STRINGIFY(APP_VERSION_MAJOR) "." STRINGIFY(APP_VERSION_MINOR) "." STRINGIFY(APP_VERSION_PATCH)

/* Linked at APP_VERSION_ADDRESS, where the bootloader looks for it. */
const uint8_t g_abVersion[4] __attribute__((section(".appversion"), used)) = {
    APP_VERSION_MARKER, APP_VERSION_MAJOR, APP_VERSION_MINOR, APP_VERSION_PATCH};

static const char s_acBanner[] = "Vantrel example application " VERSION_TEXT "\r\n";

#define RING_SIZE 32 /* a power of two */
#define SECOND_TICKS 15625u /* timer 1 at 16 MHz / 1024 */

static volatile uint8_t s_abRing[RING_SIZE];
static volatile uint8_t s_nHead;
static volatile uint8_t s_nTail;

ISR(USART_RX_vect)
{
    const uint8_t nByte = UDR0;
    const uint8_t nNext = (uint8_t)((s_nHead + 1) & (RING_SIZE - 1));
    if (nNext == s_nTail)
        return;
    s_abRing[s_nHead] = nByte;
    s_nHead = nNext;
}

static uint8_t TakeByte(uint8_t* pByte)
{
    if (s_nHead == s_nTail)
        return 0;
    *pByte = s_abRing[s_nTail];
    s_nTail = (uint8_t)((s_nTail + 1) & (RING_SIZE - 1));
    return 1;
}

static void PrintBanner(void)
{
    LineSendFrom((const uint8_t*)s_acBanner, sizeof(s_acBanner) - 1);
}

static void ResetIntoBootloader(void) __attribute__((noreturn));
static void ResetIntoBootloader(void)
{
    LineDrain();
    eeprom_write_byte(IAP_FLAG_ADDRESS, IAP_FLAG_ANSWER);
    eeprom_busy_wait();
    cli();
    wdt_enable(WDTO_15MS);
    for (;;) {
    }
}

static void HandleFrame(uint8_t* r)
{
    uint8_t nStatus = IAP_REFUSED;
    if (FrameCrcOk(r)) {
        if (r[1] == IAP_IDENTIFY) {
            r[4] = APP_VERSION_MAJOR;
            r[5] = APP_VERSION_MINOR;
            r[6] = APP_VERSION_PATCH;
            nStatus = IAP_ACCEPTED;
        } else if (r[1] == IAP_ENTER && FrameKeyIs(r, IAP_ENTER_KEY)) {
            ResetIntoBootloader(); /* the bootloader gives the accepted reply */
        }
    }
    FrameSeal(r, nStatus);
    LineSendFrom(r, IAP_FRAME_LENGTH);
}

int main(void)
{
    MCUSR = 0;
    wdt_disable();
    LineInit();
    TCCR1A = 0;
    TCNT1 = 0;
    TCCR1B = _BV(CS12) | _BV(CS10);
    sei();
    PrintBanner();

    uint8_t abFrame[IAP_FRAME_LENGTH];
    uint8_t nHave = 0;
    for (;;) {
        uint8_t nByte;
        if (TakeByte(&nByte)) {
            if (nHave == 0 && nByte != IAP_MARKER)
                continue; /* only IAP frames are answered here */
            abFrame[nHave++] = nByte;
            if (nHave == IAP_FRAME_LENGTH) {
                nHave = 0;
                HandleFrame(abFrame);
            }
            continue;
        }
        /* No banner in the middle of a frame: its reply comes first. */
        if (nHave == 0 && TCNT1 >= SECOND_TICKS) {
            TCNT1 = 0;
            PrintBanner();
        }
    }
}
