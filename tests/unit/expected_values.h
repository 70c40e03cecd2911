// The names, codes and sizes that the server shares with its neighbours,
// spelled here once more for the tests. The tests never take them from the
// product's headers: a wrong constant there must fail a test, not move
// the expectation along with it.
#pragma once

#include <cstdint>

// Registry, below HKEY_LOCAL_MACHINE.
constexpr wchar_t kMonitorsKey[] = L"SOFTWARE\\Mirel\\ZOLT7\\Monitors\\ZOLT7 Monitor";
constexpr wchar_t kWindowValue[] = L"LP Window handle";
constexpr wchar_t kMonitorName[] = L"ZOLT7 Monitor";
constexpr wchar_t kPrintersKey[] = L"System\\CurrentControlSet\\Control\\Print\\Printers";
constexpr wchar_t kSubkeyConfig[] = L"\\Driver\\Config";
constexpr wchar_t kSubkeyBinInfo[] = L"\\Driver\\BinInfo\\";
constexpr wchar_t kSubkeyCalibration[] = L"\\Driver\\Calibration";
constexpr wchar_t kSubkeyCounter[] = L"\\Driver\\Counter";
constexpr wchar_t kSubkeyFlashData[] = L"\\Driver\\FlashData";
constexpr wchar_t kSubkeyServiceSettings[] = L"\\Driver\\Service Settings";
constexpr wchar_t kFlagAcquired[] = L"Acquired";
constexpr wchar_t kFlagWritten[] = L"Written";

// Device request codes.
constexpr long kRequestConfig = 2;
constexpr long kRequestBinInfo = 3;
constexpr long kRequestCalibration = 4;
constexpr long kRequestBinInfoWrite = 5;
constexpr long kRequestCounter = 9;
constexpr long kRequestFlashData = 11;
constexpr long kRequestFlashDataWrite = 12;

// Message codes of the WM_COPYDATA messages to the language monitor.
constexpr unsigned long kMessageCommand = 5;
constexpr unsigned long kMessageCommand2 = 6;
constexpr unsigned long kMessageDeviceRequest = 9;
constexpr unsigned long kMessageDeviceRequestMapped = 11;

// Buffer sizes in wide characters: printer names, printer data key paths.
constexpr unsigned kNameBufferChars = 260;
constexpr unsigned kPrinterKeyPathChars = 520;

// The interface: the arrays' size, the device request opnums, and the data
// representation labels of little- and big-endian messages.
constexpr uint32_t kArraySize = 32768;
constexpr uint32_t kOpnumDeviceRequest = 2;
constexpr uint32_t kOpnumDeviceRequestMapped = 3;
constexpr uint32_t kDrepLittleEndian = 0x10;
constexpr uint32_t kDrepBigEndian = 0x00;

// Little-endian fields, read and written byte by byte.
inline uint32_t ReadLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void WriteLe32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(value >> (8 * i));
}
