/* The IAP bootloader for the ATmega328P at 16 MHz, linked at 0x7000 (a boot
 * section of 2048 words). It answers the IAP frames and the flash commands,
 * gathers writes in a page buffer and programs the application section a
 * page at a time; its own section is never written. */
#include <stdint.h>

#include <avr/boot.h>
#include <avr/eeprom.h>
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <avr/wdt.h>

#include "DeviceLine.h"

#ifndef BOOT_VERSION_MAJOR
#define BOOT_VERSION_MAJOR 1
#define BOOT_VERSION_MINOR 0
#define BOOT_VERSION_PATCH 0
#endif

#define BOOT_START 0x7000u
#define PAGE_MASK ((uint16_t)(SPM_PAGESIZE - 1))
#define NO_PAGE 0xFFFFu

/* The receive ring: the interrupt fills it while the main loop is busy (a
 * page being programmed, a reply being sent). Its size bounds how far a host
 * may send ahead. A power of two. */
#define RING_SIZE 64

/* With an application present and no request for IAP mode, the bootloader
 * waits this long for a frame before it starts the application. Timer 1 at
 * 16 MHz / 1024 counts 15625 a second. */
#define QUIET_TICKS 7813u /* 500 ms */

/* The only type tag served: "XP", the program. */
#define TAG_0 0x58
#define TAG_1 0x50

#define FLASH_SET_ADDRESS 0xC1
#define FLASH_WRITE_TWO 0xC2
#define FLASH_WRITE_ONE 0xC3
#define FLASH_READ 0xCA
#define FLASH_REFUSED 0x00
#define FLASH_CLOSE 0x0D

static volatile uint8_t s_abRing[RING_SIZE];
static volatile uint8_t s_nHead;
static volatile uint8_t s_nTail;

static uint8_t s_abPage[SPM_PAGESIZE];
static uint16_t s_nPage = NO_PAGE; /* the page s_abPage holds */
static uint8_t s_bDirty;
static uint32_t s_nAddress;

static uint8_t s_abFrame[IAP_FRAME_LENGTH];

ISR(USART_RX_vect)
{
    const uint8_t nByte = UDR0;
    const uint8_t nNext = (uint8_t)((s_nHead + 1) & (RING_SIZE - 1));
    if (nNext == s_nTail)
        return; /* full: the byte is lost, as on a line with no buffer */
    s_abRing[s_nHead] = nByte;
    s_nHead = nNext;
}

static uint8_t Received(void)
{
    return s_nHead != s_nTail;
}

static uint8_t TakeByte(void)
{
    while (!Received()) {
    }
    const uint8_t nByte = s_abRing[s_nTail];
    s_nTail = (uint8_t)((s_nTail + 1) & (RING_SIZE - 1));
    return nByte;
}

/* One self-programming operation. The store to SPMCSR and the spm must come
 * within four cycles, so interrupts wait for those two instructions; they
 * run again while the application section is being programmed, so the ring
 * keeps filling. r0:r1 carry the word for a buffer fill (kept to what is in
 * flash for the other operations, harmless to any of them). */
static void Spm(uint8_t nCommand, uint16_t nAddress, uint16_t nWord)
{
    const uint8_t nSreg = SREG;
    cli();
    __asm__ __volatile__("movw r0, %[word]\n\t"
                         "sts %[spmcsr], %[command]\n\t"
                         "spm\n\t"
                         "clr r1\n\t"
                         :
                         : [word] "r"(nWord), [spmcsr] "i"(_SFR_MEM_ADDR(SPMCSR)), [command] "r"(nCommand),
                           "z"(nAddress)
                         : "r0");
    SREG = nSreg;
    while (SPMCSR & _BV(SELFPRGEN)) {
    }
}

static uint16_t PageWord(uint8_t nOffset)
{
    return (uint16_t)(s_abPage[nOffset] | (s_abPage[nOffset + 1] << 8));
}

/* Erases and writes the held page if a write changed it. */
static void FlushPage(void)
{
    if (!s_bDirty)
        return;
    eeprom_busy_wait();
    Spm(_BV(PGERS) | _BV(SELFPRGEN), s_nPage, 0xFFFF);
    for (uint8_t i = 0; i < SPM_PAGESIZE; i += 2)
        Spm(_BV(SELFPRGEN), (uint16_t)(s_nPage + i), PageWord(i));
    Spm(_BV(PGWRT) | _BV(SELFPRGEN), s_nPage, PageWord(0));
    Spm(_BV(RWWSRE) | _BV(SELFPRGEN), s_nPage, PageWord(0));
    s_bDirty = 0;
}

/* Makes the page buffer hold the page of nAddress, with the bytes flash has
 * now, so that a page written only in part keeps its other bytes. */
static void HoldPage(uint16_t nAddress)
{
    const uint16_t nPage = nAddress & (uint16_t)~PAGE_MASK;
    if (nPage == s_nPage)
        return;
    FlushPage();
    for (uint8_t i = 0; i < SPM_PAGESIZE; ++i)
        s_abPage[i] = pgm_read_byte(nPage + i);
    s_nPage = nPage;
}

static uint8_t MayWrite(uint32_t nAddress, uint8_t nCount)
{
    return nAddress + nCount <= BOOT_START;
}

static void WriteByte(uint8_t nByte)
{
    const uint16_t nAddress = (uint16_t)s_nAddress;
    HoldPage(nAddress);
    s_abPage[nAddress & PAGE_MASK] = nByte;
    s_bDirty = 1;
    ++s_nAddress;
    if ((s_nAddress & PAGE_MASK) == 0)
        FlushPage(); /* the address has left the page */
}

static uint8_t ReadFlash(uint32_t nAddress)
{
    return nAddress < 0x8000u ? pgm_read_byte((uint16_t)nAddress) : 0xFF;
}

static uint8_t AppEmpty(void)
{
    return pgm_read_word(0) == 0xFFFF;
}

static void StartApp(void) __attribute__((noreturn));
static void StartApp(void)
{
    LineDrain();
    cli();
    /* The line stays on with its interrupt off: the application sets it up
     * again, and a transmitter switched off and on would not show an empty
     * buffer in simavr until its next reset. */
    UCSR0B = _BV(RXEN0) | _BV(TXEN0);
    TCCR1B = 0;
    MCUCR = _BV(IVCE);
    MCUCR = 0; /* the application's vectors again */
    __asm__ __volatile__("jmp 0");
    __builtin_unreachable();
}

/* Answers one IAP frame; returns 1 when the answer was an accepted leave. */
static uint8_t HandleIap(void)
{
    uint8_t* r = s_abFrame; /* the reply echoes what the command does not define */
    uint8_t nStatus = IAP_REFUSED;
    uint8_t bLeave = 0;
    if (FrameCrcOk(r)) {
        switch (r[1]) {
        case IAP_IDENTIFY: {
            const uint8_t bVersion = pgm_read_byte(APP_VERSION_ADDRESS) == APP_VERSION_MARKER;
            for (uint8_t i = 0; i < 3; ++i)
                r[4 + i] = bVersion ? pgm_read_byte(APP_VERSION_ADDRESS + 1 + i) : 0;
            nStatus = IAP_ACCEPTED;
            break;
        }
        case IAP_ENTER:
            if (FrameKeyIs(r, IAP_ENTER_KEY))
                nStatus = IAP_ACCEPTED;
            break;
        case IAP_QUERY:
            if (r[6] == TAG_0 && r[7] == TAG_1) {
                r[2] = BOOT_VERSION_MAJOR;
                r[3] = BOOT_VERSION_MINOR;
                r[4] = BOOT_VERSION_PATCH;
                nStatus = IAP_ACCEPTED;
            }
            break;
        case IAP_LEAVE:
            if (FrameKeyIs(r, 0xFE, 0x53, 0x01, 0xAC)) {
                FlushPage();
                eeprom_update_byte(IAP_FLAG_ADDRESS, 0xFF);
                nStatus = IAP_ACCEPTED;
                bLeave = 1;
            }
            break;
        default: break;
        }
    }
    FrameSeal(r, nStatus);
    LineSendFrom(r, IAP_FRAME_LENGTH);
    return bLeave;
}

static void HandleFlash(uint8_t nLength)
{
    const uint8_t* f = s_abFrame;
    uint8_t nSum = 0;
    for (uint8_t i = 0; i + 1 < nLength; ++i)
        nSum += f[i];
    uint8_t nStatus = FLASH_REFUSED;
    if (nSum == f[nLength - 1]) {
        switch (f[0]) {
        case FLASH_SET_ADDRESS: {
            const uint32_t nAddress = ((uint32_t)f[1] << 16) | ((uint32_t)f[2] << 8) | f[3];
            if (s_nPage != NO_PAGE && (nAddress & ~(uint32_t)PAGE_MASK) != s_nPage)
                FlushPage();
            s_nAddress = nAddress;
            nStatus = FLASH_SET_ADDRESS;
            break;
        }
        case FLASH_WRITE_TWO:
        case FLASH_WRITE_ONE: {
            const uint8_t nCount = (uint8_t)(nLength - 2);
            if (!MayWrite(s_nAddress, nCount))
                break; /* the bootloader's own section, or past the flash */
            for (uint8_t i = 0; i < nCount; ++i)
                WriteByte(f[1 + i]);
            nStatus = f[0];
            break;
        }
        case FLASH_READ: {
            FlushPage(); /* a read shows what flash holds */
            LineSend(FLASH_READ);
            uint16_t nCount = f[1] == 0 ? 256 : f[1];
            while (nCount--)
                LineSend(ReadFlash(s_nAddress++));
            LineSend(FLASH_CLOSE);
            return;
        }
        default: break;
        }
    }
    LineSend(nStatus);
    LineSend(FLASH_CLOSE);
}

static uint8_t FrameLength(uint8_t nFirst)
{
    switch (nFirst) {
    case IAP_MARKER: return IAP_FRAME_LENGTH;
    case FLASH_SET_ADDRESS: return 5;
    case FLASH_WRITE_TWO: return 4;
    case FLASH_WRITE_ONE:
    case FLASH_READ: return 3;
    default: return 0;
    }
}

int main(void)
{
    MCUSR = 0;
    wdt_disable(); /* a watchdog reset leaves it running */
    const uint8_t nFlag = eeprom_read_byte(IAP_FLAG_ADDRESS);
    uint8_t bStay = nFlag == IAP_FLAG_STAY || nFlag == IAP_FLAG_ANSWER || AppEmpty();

    MCUCR = _BV(IVCE);
    MCUCR = _BV(IVSEL); /* the receive interrupt runs from this section */
    LineInit();
    TCCR1A = 0;
    TCNT1 = 0;
    TCCR1B = _BV(CS12) | _BV(CS10);
    sei();
    if (nFlag == IAP_FLAG_ANSWER) {
        /* The application took an enter and reset: its reply is given now
         * that the line is heard again. */
        static const uint8_t abEnter[8] = {IAP_MARKER, IAP_ENTER, IAP_ENTER_KEY, 0x00, 0x00};
        for (uint8_t i = 0; i < 8; ++i)
            s_abFrame[i] = abEnter[i];
        FrameSeal(s_abFrame, IAP_ACCEPTED);
        LineSendFrom(s_abFrame, IAP_FRAME_LENGTH);
        eeprom_update_byte(IAP_FLAG_ADDRESS, IAP_FLAG_STAY);
    }

    for (;;) {
        if (!Received()) {
            if (!bStay && TCNT1 >= QUIET_TICKS)
                StartApp();
            continue;
        }
        const uint8_t nFirst = TakeByte();
        const uint8_t nLength = FrameLength(nFirst);
        if (nLength == 0)
            continue; /* not the start of a frame: resynchronise on the next */
        s_abFrame[0] = nFirst;
        for (uint8_t i = 1; i < nLength; ++i)
            s_abFrame[i] = TakeByte();
        bStay = 1; /* a host is talking: the application waits until leave */
        if (nFirst == IAP_MARKER) {
            if (HandleIap() && !AppEmpty())
                StartApp();
        } else {
            HandleFlash(nLength);
        }
    }
}
