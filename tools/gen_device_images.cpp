// Generates the device images the program embeds, as one table:
//
//   offset      size    content
//   0x00000     4096    flash driver for S29GL128_S
//   0x01000     4096    flash driver for S29GL256_S
//   0x02000     4096    flash driver for S29GL512_S
//   0x03000     4096    flash driver for S29GL01G_S
//   0x04000     4096    zero page (all 0x00)
//   0x05000     4096    service driver ("ORV828", "S29GL512_S"), other code and entry targets
//   0x06000    65536    interim program image
//
// Driver image layout (little-endian fields):
//   0..15   entry area: five LJMP instructions (0x02, target high, target low)
//           to init, erase, program, read and identify, then one 0xFF byte
//   16..    sector table: records of (size in KiB, count), ended by a zero word;
//           the built-in drivers carry one record: 128 KiB x sector count
//   24..39  MCU name "ORV828", padded with 0xFF
//   40..55  flash name, padded with 0xFF
//   56..    controller code, then 0xFF to 4096 bytes
//
// The controller is an 8051 core; drivers are loaded at 0x8000 of its code
// space. The routines below are short, readable stubs of the flash
// algorithms of the S29GL-S family (reset, sector erase with the AA/55/80/
// AA/55/30 unlock sequence and DQ7 polling, word program, a read loop, and
// the autoselect device-ID check); each driver differs in the device ID it
// checks for. A text tag in the code tells the emulated instrument a normal
// driver ("TMRD FLASH DRIVER") from the service driver ("TMRD SERVICE DRIVER").
//
// The interim image is a 64 KiB program that keeps the controller in a safe
// idle loop while the flash is rewritten: LJMP at 0 to a loop that services
// the watchdog and waits, "B" "D" at 0xFFF8 so it passes the image checks,
// 0xFF where there is no code.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;
constexpr uint16_t kLoadAddress = 0x8000;

struct Asm
{
    Bytes code;
    uint16_t origin;
    uint16_t here() const { return (uint16_t)(origin + code.size()); }
    void b(std::initializer_list<int> bytes)
    {
        for (int v : bytes)
            code.push_back((uint8_t)v);
    }
    void movDptr(uint16_t v) { b({0x90, v >> 8, v & 0xFF}); }
    void movA(uint8_t v) { b({0x74, v}); }
    void movxWrite() { b({0xF0}); }
    void movxRead() { b({0xE0}); }
    void write(uint16_t address, uint8_t value)
    {
        movDptr(address);
        movA(value);
        movxWrite();
    }
    void unlock()
    {
        write(0x0555, 0xAA);
        write(0x02AA, 0x55);
    }
    void ret() { b({0x22}); }
    void text(const char* t)
    {
        while (*t)
            code.push_back((uint8_t)*t++);
    }
};

// Returns the code and the five entry addresses.
Bytes driverCode(uint16_t deviceId, bool service, uint16_t entries[5])
{
    Asm a{{}, (uint16_t)(kLoadAddress + 56)};
    if (service)
        a.b({0x00, 0x00}); // two NOPs: the service driver's routines sit elsewhere

    entries[0] = a.here();   // init: bank 0, reset to read mode
    a.b({0x75, 0xA0, 0x00}); // MOV P2,#00h
    a.write(0x0000, 0xF0);
    a.ret();

    entries[1] = a.here(); // erase sector at DPH:DPL from R6:R7, poll DQ7
    a.unlock();
    a.write(0x0555, 0x80);
    a.unlock();
    a.b({0x8E, 0x83, 0x8F, 0x82}); // MOV DPH,R6 ; MOV DPL,R7
    a.movA(0x30);
    a.movxWrite();
    a.movxRead();            // poll: MOVX A,@DPTR
    a.b({0x30, 0xE7, 0xFC}); // JNB ACC.7,poll
    a.ret();

    entries[2] = a.here(); // program R2 bytes from @R0 at DPTR
    a.unlock();
    a.write(0x0555, 0xA0);
    a.b({0xE6, 0xF0, 0xA3, 0x08, 0xDA, 0xFB}); // MOV A,@R0 ; MOVX ; INC DPTR ; INC R0 ; DJNZ R2
    a.ret();

    entries[3] = a.here();                     // read R2 bytes from DPTR to @R0
    a.b({0xE0, 0xF6, 0xA3, 0x08, 0xDA, 0xFA}); // MOVX A,@DPTR ; MOV @R0,A ; INC DPTR ; INC R0 ; DJNZ R2
    a.ret();

    entries[4] = a.here(); // identify: autoselect, compare device ID, status in R7
    a.unlock();
    a.write(0x0555, 0x90);
    a.movDptr(0x001C);
    a.movxRead();
    a.b({0xB4, deviceId >> 8, 0x05}); // CJNE A,#idHigh,fail
    a.movDptr(0x001E);
    a.movxRead();
    a.b({0xB4, deviceId & 0xFF, 0x02}); // CJNE A,#idLow,fail
    a.b({0x7F, 0x00});                  // MOV R7,#0 (pass)
    a.b({0x7F, 0x01});                  // fail: MOV R7,#1
    a.write(0x0000, 0xF0);
    a.ret();

    a.text(service ? "TMRD SERVICE DRIVER" : "TMRD FLASH DRIVER");
    return a.code;
}

Bytes driverImage(const char* flashName, uint16_t sectorCount, uint16_t deviceId, bool service)
{
    Bytes img(4096, 0xFF);
    uint16_t entries[5];
    const Bytes code = driverCode(deviceId, service, entries);
    for (int i = 0; i < 5; ++i)
    {
        img[(size_t)i * 3] = 0x02;
        img[(size_t)i * 3 + 1] = (uint8_t)(entries[i] >> 8);
        img[(size_t)i * 3 + 2] = (uint8_t)(entries[i] & 0xFF);
    }
    img[15] = 0xFF;
    img[16] = 128; // sector size in KiB
    img[17] = 0;
    img[18] = (uint8_t)(sectorCount & 0xFF);
    img[19] = (uint8_t)(sectorCount >> 8);
    std::memset(img.data() + 20, 0, 4); // terminator
    std::memcpy(img.data() + 24, "ORV828", 6);
    std::memcpy(img.data() + 40, flashName, std::strlen(flashName));
    std::memcpy(img.data() + 56, code.data(), code.size());
    return img;
}

Bytes interimImage()
{
    Bytes img(0x10000, 0xFF);
    Asm a{{}, 0x0100};
    // Reset vector: LJMP 0100h.
    img[0] = 0x02;
    img[1] = 0x01;
    img[2] = 0x00;
    a.b({0x75, 0x81, 0x60}); // MOV SP,#60h
    a.b({0xC2, 0xAF});       // CLR EA (no interrupts while the flash changes)
    const uint16_t loop = a.here();
    a.b({0x75, 0xA6, 0x1E});             // MOV WDTRST,#1Eh
    a.b({0x75, 0xA6, 0xE1});             // MOV WDTRST,#0E1h
    a.b({0x7A, 0xFF});                   // MOV R2,#0FFh
    a.b({0xDA, 0xFE});                   // DJNZ R2,$
    a.b({0x02, loop >> 8, loop & 0xFF}); // LJMP loop
    a.text("TMRD INTERIM IMAGE");
    std::memcpy(img.data() + 0x100, a.code.data(), a.code.size());
    img[0xFFF8] = 'B';
    img[0xFFF9] = 'D';
    return img;
}
} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: gen_device_images OUT\n");
        return 2;
    }
    Bytes table;
    auto append = [&](const Bytes& b) { table.insert(table.end(), b.begin(), b.end()); };
    append(driverImage("S29GL128_S", 128, 0x2221, false));
    append(driverImage("S29GL256_S", 256, 0x2222, false));
    append(driverImage("S29GL512_S", 512, 0x2223, false));
    append(driverImage("S29GL01G_S", 1024, 0x2228, false));
    append(Bytes(4096, 0x00));
    append(driverImage("S29GL512_S", 512, 0x2223, true));
    append(interimImage());

    FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr || std::fwrite(table.data(), 1, table.size(), f) != table.size() || std::fclose(f) != 0)
    {
        std::fprintf(stderr, "gen_device_images: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
