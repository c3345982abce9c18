#pragma once
// The commands the capture follows: their code, and the CID1 of the response that answers them.

// The command 0x42/0x44 at address 1, which opens a round, and the start of its response:
//   ~ 21 01 42 44 E002 FF FD0B CR         (VER ADR CID1 CID2 LENGTH INFO CHKSUM)
//   ~ 21 01 42 00 D030 0002 000A00... CR  (RTN 0x00: a response; INFO from the DATAFLAG)
struct CaptureCommand {
    int code;
    unsigned char cid1;
    unsigned char cid2;
    unsigned char response_cid1;
};

constexpr CaptureCommand kCaptureCommands[] = {
    {1, 0x42, 0x44, 0x42},   // DC alarms; opens a round
    {2, 0x40, 0x41, 0x40},   // AC analog values
    {3, 0x40, 0x44, 0x40},   // AC alarms
    {4, 0x42, 0x46, 0x42},   // DC parameters, not decoded
    {5, 0x40, 0x46, 0x40},   // AC parameters, not decoded
    {6, 0x41, 0x41, 0x41},   // rectifier analog values
    {7, 0x41, 0x43, 0x41},   // rectifier states
    {8, 0x41, 0x44, 0x41},   // rectifier alarms
    {9, 0x42, 0x41, 0x42},   // DC analog values
    {10, 0xE1, 0x81, 0xE1},  // vendor, not decoded
    {11, 0xE1, 0xF7, 0xE1},  // vendor, not decoded
    {12, 0xE1, 0x90, 0xE1},  // vendor; its response closes the round
};
