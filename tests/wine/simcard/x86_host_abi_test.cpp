// The 32-bit driver as a 32-bit host compiled with Microsoft's conventions
// calls it: IUnknown's methods __stdcall, IASIO's own thiscall (`this` in ECX,
// the callee pops its arguments), the host's callbacks plain cdecl (the
// caller pops). The interface and the callback table are declared here, on
// the host's side, independently of the driver's own declarations; only the
// records (whose layout asio.h asserts) are shared.
//
// A convention that differs on either side shows on x86 only: `this` read
// from the wrong place, arguments shifted, or a stack pointer that is off
// after the call. Every method is called through a small assembly routine
// that measures how many bytes the callee popped; the callbacks check their
// arguments and that the stream thread enters them at the same stack depth
// each time. Runs against KorvexASIO-simcard.dll, found in the 32-bit view
// of the registry (the simcard_register fixture).
#include "tests/wine/simcard/com_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>

static_assert(sizeof(void*) == 4, "the x86 host's test");

// Not in an anonymous namespace: the objects come from the driver's module,
// and g++ takes a class of an anonymous namespace to have no implementation
// outside this file (it would devirtualise the calls to nothing).
namespace x86_host {

struct HostCallbacks {
    void(__cdecl* bufferSwitch)(long doubleBufferIndex, long directProcess);
    void(__cdecl* sampleRateDidChange)(double sRate);
    long(__cdecl* asioMessage)(long selector, long value, void* message, double* opt);
    ASIOTime*(__cdecl* bufferSwitchTimeInfo)(ASIOTime* params, long doubleBufferIndex, long directProcess);
};

struct HostUnknown {
    virtual HRESULT __stdcall QueryInterface(const IID& riid, void** ppv) = 0;
    virtual ULONG __stdcall AddRef() = 0;
    virtual ULONG __stdcall Release() = 0;
};

struct HostAsio : HostUnknown {
    virtual long __thiscall init(void* sysHandle) = 0;
    virtual void __thiscall getDriverName(char* name) = 0;
    virtual long __thiscall getDriverVersion() = 0;
    virtual void __thiscall getErrorMessage(char* string) = 0;
    virtual long __thiscall start() = 0;
    virtual long __thiscall stop() = 0;
    virtual long __thiscall getChannels(long* numInputChannels, long* numOutputChannels) = 0;
    virtual long __thiscall getLatencies(long* inputLatency, long* outputLatency) = 0;
    virtual long __thiscall getBufferSize(long* minSize, long* maxSize, long* preferredSize, long* granularity) = 0;
    virtual long __thiscall canSampleRate(double sampleRate) = 0;
    virtual long __thiscall getSampleRate(double* sampleRate) = 0;
    virtual long __thiscall setSampleRate(double sampleRate) = 0;
    virtual long __thiscall getClockSources(ASIOClockSource* clocks, long* numSources) = 0;
    virtual long __thiscall setClockSource(long reference) = 0;
    virtual long __thiscall getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
    virtual long __thiscall getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual long __thiscall createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                          HostCallbacks* callbacks) = 0;
    virtual long __thiscall disposeBuffers() = 0;
    virtual long __thiscall controlPanel() = 0;
    virtual long __thiscall future(long selector, void* opt) = 0;
    virtual long __thiscall outputReady() = 0;
};

}  // namespace x86_host

namespace {

using x86_host::HostAsio;
using x86_host::HostCallbacks;

// Slots of the table, in the published order.
enum Slot {
    kQueryInterface, kAddRef, kRelease, kInit, kGetDriverName, kGetDriverVersion, kGetErrorMessage, kStart, kStop,
    kGetChannels, kGetLatencies, kGetBufferSize, kCanSampleRate, kGetSampleRate, kSetSampleRate, kGetClockSources,
    kSetClockSource, kGetSamplePosition, kGetChannelInfo, kCreateBuffers, kDisposeBuffers, kControlPanel, kFuture,
    kOutputReady, kSlots
};

}  // namespace

// CallMeasuringPop(fn, ecx, words, count, popped): pushes words[count-1] ..
// words[0], loads ECX, calls fn, and stores in *popped how many bytes of the
// pushed arguments the callee took off the stack; returns EAX. Whatever the
// callee did to ESP, the routine returns on its own frame.
extern "C" uint32_t CallMeasuringPop(const void* fn, const void* ecx, const uint32_t* words, uint32_t count,
                                     uint32_t* popped);
asm(R"(
    .text
    .globl _CallMeasuringPop
_CallMeasuringPop:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 20(%ebp), %ecx
    movl 16(%ebp), %esi
1:  testl %ecx, %ecx
    jz 2f
    pushl -4(%esi,%ecx,4)
    decl %ecx
    jmp 1b
2:  movl %esp, %edi
    movl 12(%ebp), %ecx
    call *8(%ebp)
    movl %esp, %edx
    subl %edi, %edx
    movl 24(%ebp), %ecx
    movl %edx, (%ecx)
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace {

uint32_t Word(const void* pointer) { return reinterpret_cast<uint32_t>(pointer); }

// A double as the two words it takes on the stack, low word first.
struct DoubleWords {
    uint32_t low, high;
};
DoubleWords Words(double value) {
    uint64_t bits = 0;
    memcpy(&bits, &value, sizeof bits);
    return {static_cast<uint32_t>(bits), static_cast<uint32_t>(bits >> 32)};
}

// Calls a slot of the driver's table through the measuring routine: thiscall
// for IASIO's own methods (ECX = the object, `words` the arguments),
// __stdcall for IUnknown's (the object pushed as the first word). Expects the
// callee to pop exactly what was pushed (both conventions are callee-pop).
uint32_t CallSlot(HostAsio* driver, Slot slot, std::initializer_list<uint32_t> arguments) {
    uint32_t words[8] = {};
    uint32_t count = 0;
    if (slot <= kRelease) words[count++] = Word(driver);
    for (uint32_t w : arguments) words[count++] = w;
    const void* const* table = *reinterpret_cast<const void* const* const*>(driver);
    uint32_t popped = 0xFFFFFFFF;
    const uint32_t eax = CallMeasuringPop(table[slot], slot <= kRelease ? nullptr : driver, words, count, &popped);
    EXPECT_EQ(popped, 4 * count) << "slot " << slot << " popped " << static_cast<int32_t>(popped)
                                 << " bytes of " << 4 * count;
    return eax;
}

// What the callbacks saw. Plain functions, one test at a time.
struct Seen {
    HostAsio* driver = nullptr;
    bool measuredOutputReady = false;  // answer through CallSlot, not the typed call
    long timeInfoAnswer = 0;           // asioMessage's answer to kAsioSupportsTimeInfo
    long messages[4][2] = {};
    void* messagePointers[4][2] = {};
    std::atomic<int> messageCount{0};
    double rates[4] = {};
    std::atomic<int> rateCount{0};
    std::atomic<int> switches{0}, timeInfos{0}, wrongIndex{0}, wrongDirect{0}, wrongParams{0}, wrongAnswer{0};
    std::atomic<int> depthChanges{0};
    std::atomic<uintptr_t> depth[2] = {};  // the frame of the first callback of each half
    double streamRate = 0;
    uint32_t lastPosition = 0;
};
Seen* seen = nullptr;

// The stream thread calls each half's callback from the same place: a stack
// pointer left off by a call (a callee-pop mismatch) shows as a moved frame.
void NoteDepth(long index, void* callbackFrame) {
    const auto frame = reinterpret_cast<uintptr_t>(callbackFrame);
    uintptr_t expected = 0;
    if (!seen->depth[index & 1].compare_exchange_strong(expected, frame) && expected != frame) seen->depthChanges++;
}

void Answer() {
    if (seen->measuredOutputReady) {
        if (CallSlot(seen->driver, kOutputReady, {}) != static_cast<uint32_t>(ASE_OK)) seen->wrongAnswer++;
    } else if (seen->driver->outputReady() != ASE_OK) {
        seen->wrongAnswer++;
    }
}

// Not inlined: each has its own frame, entered from the driver's stream thread.
__attribute__((noinline)) void __cdecl OnBufferSwitch(long index, long directProcess) {
    NoteDepth(index, __builtin_frame_address(0));
    const int n = seen->switches++;
    if (index != (n & 1)) seen->wrongIndex++;
    if (directProcess != ASIOFalse) seen->wrongDirect++;
    Answer();
}

__attribute__((noinline)) ASIOTime* __cdecl OnTimeInfo(ASIOTime* params, long index, long directProcess) {
    NoteDepth(index, __builtin_frame_address(0));
    const int n = seen->timeInfos++;
    if (index != (n & 1)) seen->wrongIndex++;
    if (directProcess != ASIOFalse) seen->wrongDirect++;
    const AsioTimeInfo& info = params->timeInfo;
    const uint32_t position = info.samplePosition.lo;
    if (info.sampleRate != seen->streamRate || (info.flags & kSamplePositionValid) == 0 ||
        (n > 0 && position <= seen->lastPosition)) {
        seen->wrongParams++;
    }
    seen->lastPosition = position;
    Answer();
    return params;
}

void __cdecl OnRateChange(double rate) {
    const int n = seen->rateCount++;
    if (n < 4) seen->rates[n] = rate;
}

long __cdecl OnMessage(long selector, long value, void* message, double* opt) {
    const int n = seen->messageCount++;
    if (n < 4) {
        seen->messages[n][0] = selector;
        seen->messages[n][1] = value;
        seen->messagePointers[n][0] = message;
        seen->messagePointers[n][1] = opt;
    }
    return selector == kAsioSupportsTimeInfo ? seen->timeInfoAnswer : 0;
}

HostCallbacks callbacks{&OnBufferSwitch, &OnRateChange, &OnMessage, &OnTimeInfo};

class X86HostAbi : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        BOOL wow64 = FALSE;
        ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
        EXPECT_TRUE(wow64) << "a 32-bit host on a 64-bit system";
        CLSID clsid{};
        ASSERT_TRUE(korvex::simcard::FindDriverClass(korvex::simcard::kDriverKeyName, &clsid))
            << "HKLM\\SOFTWARE\\ASIO\\... not registered in the 32-bit view (the simcard_register fixture)";
        void* object = nullptr;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object), S_OK);
        driver = static_cast<HostAsio*>(object);
        s.driver = driver;
        seen = &s;
    }
    void TearDown() override {
        if (driver != nullptr) driver->Release();
        seen = nullptr;
        CoUninitialize();
    }

    bool WaitSwitches(int count) {
        for (int waited = 0; waited < 3000; ++waited) {
            if (s.switches.load() + s.timeInfos.load() >= count) return true;
            Sleep(1);
        }
        return false;
    }

    void ExpectCleanCallbacks() {
        EXPECT_EQ(s.wrongIndex.load(), 0) << "doubleBufferIndex not 0, 1, 0, 1, ...";
        EXPECT_EQ(s.wrongDirect.load(), 0) << "directProcess not ASIOFalse";
        EXPECT_EQ(s.wrongParams.load(), 0) << "bufferSwitchTimeInfo's record";
        EXPECT_EQ(s.wrongAnswer.load(), 0) << "outputReady from the callback";
        EXPECT_EQ(s.depthChanges.load(), 0) << "the stream thread's stack depth moved between callbacks";
        ASSERT_EQ(s.messageCount.load(), 2);
        EXPECT_EQ(s.messages[0][0], kAsioSupportsTimeInfo);
        EXPECT_EQ(s.messages[1][0], kAsioSupportsTimeCode);
        for (int m = 0; m < 2; ++m) {
            EXPECT_EQ(s.messages[m][1], 0);
            EXPECT_EQ(s.messagePointers[m][0], nullptr);
            EXPECT_EQ(s.messagePointers[m][1], nullptr);
        }
    }

    HostAsio* driver = nullptr;
    Seen s;
};

// What the host above found, it found in the 32-bit view: the 64-bit view
// has neither the driver's entry nor its class.
TEST(X86Registry, TheDriverIsRegisteredInThe32BitViewOnly) {
    const std::wstring entry = std::wstring(L"SOFTWARE\\ASIO\\") + korvex::simcard::kDriverKeyName;
    const wchar_t* const classKey = L"SOFTWARE\\Classes\\CLSID\\{029A27F2-F2C8-4892-A690-C710D91F32B0}\\InprocServer32";
    const struct {
        const wchar_t* key;
        REGSAM view;
        bool present;
    } cases[] = {
        {entry.c_str(), KEY_WOW64_32KEY, true},
        {entry.c_str(), KEY_WOW64_64KEY, false},
        {classKey, KEY_WOW64_32KEY, true},
        {classKey, KEY_WOW64_64KEY, false},
    };
    for (const auto& c : cases) {
        HKEY key = nullptr;
        const LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, c.key, 0, KEY_READ | c.view, &key);
        if (key != nullptr) RegCloseKey(key);
        EXPECT_EQ(result == ERROR_SUCCESS, c.present)
            << (c.view == KEY_WOW64_32KEY ? "32" : "64") << "-bit view, result " << result;
    }
}

TEST_F(X86HostAbi, EveryMethodFindsItsObjectAndArgumentsAndPopsExactlyThem) {
    s.measuredOutputReady = true;
    EXPECT_EQ(CallSlot(driver, kAddRef, {}), 2u);
    EXPECT_EQ(CallSlot(driver, kRelease, {}), 1u);
    EXPECT_EQ(CallSlot(driver, kInit, {0x13572468}), static_cast<uint32_t>(ASIOTrue));
    EXPECT_EQ(CallSlot(driver, kGetDriverVersion, {}), 2u);

    char name[32] = {}, message[128] = {};
    CallSlot(driver, kGetDriverName, {Word(name)});
    EXPECT_STREQ(name, "SAVANTIX Lyrenta Six");
    memset(message, 'x', sizeof message - 1);
    CallSlot(driver, kGetErrorMessage, {Word(message)});
    EXPECT_LT(strlen(message), sizeof message - 1) << "the driver wrote its message";

    long inputs = -1, outputs = -1;
    EXPECT_EQ(CallSlot(driver, kGetChannels, {Word(&inputs), Word(&outputs)}), 0u);
    EXPECT_EQ(inputs, 2);
    EXPECT_EQ(outputs, 6);
    long inLatency = -1, outLatency = -1;
    EXPECT_EQ(CallSlot(driver, kGetLatencies, {Word(&inLatency), Word(&outLatency)}), 0u);
    EXPECT_EQ(inLatency, 551);
    EXPECT_EQ(outLatency, 495);
    long minimum = -1, maximum = -1, preferred = -1, granularity = -1;
    EXPECT_EQ(CallSlot(driver, kGetBufferSize, {Word(&minimum), Word(&maximum), Word(&preferred), Word(&granularity)}),
              0u);
    EXPECT_EQ(minimum, 96);
    EXPECT_EQ(maximum, 4800);
    EXPECT_EQ(preferred, 480);
    EXPECT_EQ(granularity, 8);

    // A double argument takes two words; shifted by one word it would be another number.
    const struct {
        double rate;
        ASIOError result;
    } rates[] = {{96000.0, ASE_OK}, {44100.0, ASE_OK}, {192000.0, ASE_OK}, {1000.0, ASE_NoClock}, {96000.5, ASE_NoClock}};
    for (const auto& r : rates) {
        const DoubleWords w = Words(r.rate);
        EXPECT_EQ(CallSlot(driver, kCanSampleRate, {w.low, w.high}), static_cast<uint32_t>(r.result)) << r.rate;
    }
    double rate = 0;
    EXPECT_EQ(CallSlot(driver, kGetSampleRate, {Word(&rate)}), 0u);
    EXPECT_EQ(rate, 48000.0);

    ASIOClockSource clocks[4] = {};
    long clockCount = 4;
    EXPECT_EQ(CallSlot(driver, kGetClockSources, {Word(clocks), Word(&clockCount)}), 0u);
    EXPECT_EQ(clockCount, 1);
    EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
    EXPECT_EQ(CallSlot(driver, kSetClockSource, {0}), 0u);
    EXPECT_EQ(CallSlot(driver, kSetClockSource, {3}), static_cast<uint32_t>(ASE_NoClock));

    ASIOChannelInfo info{};
    info.channel = 5;
    info.isInput = ASIOFalse;
    EXPECT_EQ(CallSlot(driver, kGetChannelInfo, {Word(&info)}), 0u);
    EXPECT_STREQ(info.name, "Surround Right");
    EXPECT_EQ(info.type, ASIOSTInt32LSB);
    EXPECT_EQ(CallSlot(driver, kFuture, {kAsioCanTimeInfo, 0}), static_cast<uint32_t>(ASE_SUCCESS));
    EXPECT_EQ(CallSlot(driver, kFuture, {0x7777, Word(&info)}), static_cast<uint32_t>(ASE_NotPresent));
    EXPECT_EQ(CallSlot(driver, kControlPanel, {}), static_cast<uint32_t>(ASE_NotPresent));

    ASIOBufferInfo buffers[8] = {};
    for (int c = 0; c < 8; ++c) buffers[c] = {c < 2 ? ASIOTrue : ASIOFalse, c < 2 ? c : c - 2, {nullptr, nullptr}};
    s.timeInfoAnswer = 0;  // plain bufferSwitch
    EXPECT_EQ(CallSlot(driver, kCreateBuffers, {Word(buffers), 8, 256, Word(&callbacks)}), 0u);
    for (const ASIOBufferInfo& b : buffers) {
        EXPECT_NE(b.buffers[0], nullptr);
        EXPECT_EQ(static_cast<char*>(b.buffers[1]) - static_cast<char*>(b.buffers[0]), 4 * 256);
    }

    const DoubleWords w = Words(88200.0);
    EXPECT_EQ(CallSlot(driver, kSetSampleRate, {w.low, w.high}), 0u);
    ASSERT_EQ(s.rateCount.load(), 1);
    EXPECT_EQ(s.rates[0], 88200.0);

    EXPECT_EQ(CallSlot(driver, kStart, {}), 0u);
    EXPECT_TRUE(WaitSwitches(10));
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    EXPECT_EQ(CallSlot(driver, kGetSamplePosition, {Word(&position), Word(&stamp)}), 0u);
    EXPECT_EQ(CallSlot(driver, kStop, {}), 0u);
    EXPECT_GE(position.lo, 256u * 9) << "the position counts the halves the host received";
    EXPECT_EQ(position.lo % 256, 0u);
    EXPECT_GE(s.switches.load(), 10);
    EXPECT_EQ(s.timeInfos.load(), 0);
    ExpectCleanCallbacks();
    EXPECT_EQ(CallSlot(driver, kDisposeBuffers, {}), 0u);

    void* unknown = nullptr;
    EXPECT_EQ(CallSlot(driver, kQueryInterface, {Word(&IID_IUnknown), Word(&unknown)}), static_cast<uint32_t>(S_OK));
    ASSERT_NE(unknown, nullptr);
    EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 1u);
    EXPECT_EQ(CallSlot(driver, kRelease, {}), 0u);
    driver = nullptr;
}

// The same session through ordinary compiled calls of the host's declarations,
// with time information: bufferSwitchTimeInfo gets the driver's record.
TEST_F(X86HostAbi, CompiledHostCallsAndTimeInfoCallbacks) {
    ASSERT_EQ(driver->init(nullptr), long{ASIOTrue});
    long preferred = 0, minimum = 0, maximum = 0, granularity = 0;
    ASSERT_EQ(driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), long{ASE_OK});
    ASIOBufferInfo buffers[3] = {{ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 5, {}}};
    s.timeInfoAnswer = 1;
    ASSERT_EQ(driver->createBuffers(buffers, 3, preferred, &callbacks), long{ASE_OK});
    ASSERT_EQ(driver->setSampleRate(96000.0), long{ASE_OK});
    ASSERT_EQ(s.rateCount.load(), 1);
    EXPECT_EQ(s.rates[0], 96000.0);
    double rate = 0;
    ASSERT_EQ(driver->getSampleRate(&rate), long{ASE_OK});
    EXPECT_EQ(rate, 96000.0);
    s.streamRate = 96000.0;
    EXPECT_EQ(driver->canSampleRate(176400.0), long{ASE_OK});
    EXPECT_EQ(driver->canSampleRate(22050.0), long{ASE_NoClock});

    for (int run = 0; run < 2; ++run) {
        s.lastPosition = 0;
        s.depth[0] = s.depth[1] = 0;  // a new stream thread
        s.timeInfos = 0;
        ASSERT_EQ(driver->start(), long{ASE_OK});
        EXPECT_TRUE(WaitSwitches(8));
        ASSERT_EQ(driver->stop(), long{ASE_OK});
        EXPECT_GE(s.timeInfos.load(), 8) << "run " << run;
    }
    EXPECT_EQ(s.switches.load(), 0);
    ExpectCleanCallbacks();
    EXPECT_EQ(driver->disposeBuffers(), long{ASE_OK});
}

}  // namespace
