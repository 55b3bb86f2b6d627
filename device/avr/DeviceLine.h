/* What the bootloader and the example application agree on: the clock, the
 * line, the frames they both answer, and the two places in memory they share
 * (the application's version in flash, the stay-in-bootloader flag in EEPROM). */
#ifndef VANTREL_DEVICE_LINE_H
#define VANTREL_DEVICE_LINE_H

#include <stdint.h>

#include <avr/io.h>
#include <util/crc16.h>

/* 115200 bit/s from 16 MHz needs the double-speed mode: 16e6 / (8 * 17) is
 * 117647 bit/s, 2.1 % fast, well inside what a receiver takes. */
#define LINE_UBRR 16

#define IAP_FRAME_LENGTH 10
#define IAP_MARKER 0xFE
#define IAP_ENTER 0x02
#define IAP_IDENTIFY 0x03
#define IAP_QUERY 0xE3
#define IAP_LEAVE 0xEC
#define IAP_ACCEPTED 0x55
#define IAP_REFUSED 0xAA

/* The application's version: the marker 'V' and three numbers in the last
 * four bytes below the bootloader. The application places them there; the
 * bootloader only reads them. */
#define APP_VERSION_ADDRESS 0x6FFCu
#define APP_VERSION_MARKER 'V'

/* The last EEPROM byte: set by the application before its watchdog reset,
 * cleared by the bootloader at leave. EEPROM, since a reset keeps it whatever
 * the start-up code does to RAM. The application leaves the reply to enter
 * to the bootloader: the host sends its next frame as soon as it has that
 * reply, and a frame sent during the reset would be lost. */
#define IAP_FLAG_ADDRESS ((uint8_t*)E2END)
#define IAP_FLAG_STAY 0xA5   /* stay in the bootloader until leave */
#define IAP_FLAG_ANSWER 0xA6 /* the same, and answer the enter first */

/* Enter's request payload, b2 to b7; its reply echoes it. */
#define IAP_ENTER_KEY 0xAC, 0x01, 0x53, 0xFE

static inline void LineInit(void)
{
    /* Double speed before the divider: the rate takes effect when UBRR0L is
     * written. UDRE0 is read-only on the chip; written as one, since an
     * emulator that stores the register must not lose it. */
    UCSR0A = _BV(U2X0) | _BV(UDRE0);
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00); /* 8 data bits, no parity, 1 stop bit */
    UBRR0H = 0;
    UBRR0L = LINE_UBRR;
    UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);
}

/* Set while a byte may still be on its way out: TXC0 comes only after a
 * byte was sent, so a drain with nothing sent must not wait for it. */
static uint8_t s_bLineSending;

static inline void LineSend(uint8_t nByte)
{
    while (!(UCSR0A & _BV(UDRE0))) {
    }
    UCSR0A = _BV(U2X0) | _BV(UDRE0) | _BV(TXC0); /* a one clears TXC0; U2X0 stays */
    UDR0 = nByte;
    s_bLineSending = 1;
}

/* Waits until the last byte has left the shift register, so that a reset or
 * a jump right after cannot cut a reply short. */
static inline void LineDrain(void)
{
    while (s_bLineSending && !(UCSR0A & _BV(TXC0))) {
    }
    s_bLineSending = 0;
}

static inline void LineSendFrom(const uint8_t* pData, uint8_t nLength)
{
    while (nLength--)
        LineSend(*pData++);
}

/* CRC-16 with the polynomial 0x1021, initial value 0, not reflected. */
static inline uint16_t FrameCrc(const uint8_t* pData, uint8_t nLength)
{
    uint16_t nCrc = 0;
    while (nLength--)
        nCrc = _crc_xmodem_update(nCrc, *pData++);
    return nCrc;
}

static inline uint8_t FrameCrcOk(const uint8_t* pFrame)
{
    const uint16_t nCrc = FrameCrc(pFrame, IAP_FRAME_LENGTH - 2);
    return pFrame[8] == (uint8_t)(nCrc >> 8) && pFrame[9] == (uint8_t)nCrc;
}

/* Puts the status and the CRC into a reply that holds a copy of the request. */
static inline void FrameSeal(uint8_t* pReply, uint8_t nStatus)
{
    pReply[7] = nStatus;
    const uint16_t nCrc = FrameCrc(pReply, IAP_FRAME_LENGTH - 2);
    pReply[8] = (uint8_t)(nCrc >> 8);
    pReply[9] = (uint8_t)nCrc;
}

/* Enter and leave carry a fixed key so that line noise cannot switch modes. */
static inline uint8_t FrameKeyIs(const uint8_t* pFrame, uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return pFrame[2] == a && pFrame[3] == b && pFrame[4] == c && pFrame[5] == d;
}

#endif
