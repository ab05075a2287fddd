// createBuffers and disposeBuffers on the simulated card: what is asked of
// the card, which addresses the host receives, what is cleared, what the
// host is asked, and what a failure leaves behind.
#include "tests/sim/card_client.h"
#include "tests/sim/test_host.h"

#include <climits>
#include <cstring>
#include <memory>

namespace {

using sim::devctl::kControl;
using sim::devctl::kMapBuffers;
using sim::devctl::kUnmapBuffers;
using IdList = std::vector<uint32_t>;

constexpr uint8_t kGarbage = 0xA5;

int32_t Int32At(const sim::devctl::ControlBlock& block, size_t offset) {
    int32_t value = 0;
    memcpy(&value, &block[offset], sizeof value);
    return value;
}

// The ten addresses carried by a recorded map or unmap request.
sim::devctl::BufferMap MapOf(const sim::CardRequest& request) {
    sim::devctl::BufferMap map{};
    EXPECT_EQ(request.value.size(), sim::devctl::kBufferMapSize);
    if (request.value.size() == sim::devctl::kBufferMapSize) memcpy(map.data(), request.value.data(), sizeof map);
    return map;
}

char* At(uint64_t address) { return reinterpret_cast<char*>(static_cast<uintptr_t>(address)); }

// Forwards everything to a sim card but doctors its buffer-map answers: the
// ten buffers arrive full of garbage, as memory that a kernel driver reuses
// would, and one entry can be answered as null.
class MapDoctor final : public kwin::DeviceDriver {
public:
    explicit MapDoctor(std::shared_ptr<sim::Card> card) : card_(std::move(card)) {}

    DWORD Create(uint64_t fileId) override { return card_->Create(fileId); }
    void Close(uint64_t fileId) override { card_->Close(fileId); }
    DWORD IoControl(uint64_t fileId, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                    DWORD* bytesReturned) override {
        const DWORD error = card_->IoControl(fileId, code, in, inSize, out, outSize, bytesReturned);
        KSPROPERTY header{};
        if (error != ERROR_SUCCESS || in == nullptr || inSize != sizeof header || out == nullptr) return error;
        memcpy(&header, in, sizeof header);
        if (header.Id != kMapBuffers || header.Flags != KSPROPERTY_TYPE_GET) return error;
        sim::devctl::BufferMap map;
        memcpy(map.data(), out, sizeof map);
        const size_t bytes = 8 * static_cast<size_t>(card_->BufferFrames());
        for (uint64_t address : map) memset(At(address), kGarbage, bytes);
        const int blank = blankEntry.load();
        if (blank >= 0) {
            map[blank] = 0;
            memcpy(out, map.data(), sizeof map);
        }
        return error;
    }

    std::atomic<int> blankEntry{-1};

private:
    std::shared_ptr<sim::Card> card_;
};

class DriverBuffers : public simtest::HostedDriverTest {
protected:
    void TearDown() override {
        HostedDriverTest::TearDown();
        if (doctoredCard_) {
            kwin::RemoveDevice(doctoredCard_->InstanceId());
            doctoredCard_->MarkRemoved();
        }
    }

    // A card of the given model behind a MapDoctor, in place of AddCard.
    void AddDoctoredCard(sim::CardModel model = sim::CardModel::Eight) {
        const std::wstring hardwareId = sim::Model(model).hardwareId;
        const std::wstring instanceId = hardwareId + L"\\4&2A1B&0&00F0";
        doctoredCard_ = std::make_shared<sim::Card>(sim::CardConfig{.model = model, .clock = sim::ClockMode::Stepped},
                                                    instanceId, std::vector<std::wstring>{hardwareId});
        doctor = std::make_shared<MapDoctor>(doctoredCard_);
        kwin::DeviceInfo device;
        device.instanceId = instanceId;
        device.hardwareIds = {hardwareId};
        for (int i = 0; i < 2; ++i) device.interfaces.push_back({KSCATEGORY_AUDIO, doctoredCard_->InterfacePath(i), doctor});
        kwin::AddDevice(device);
        card = doctoredCard_.get();
    }

    // The driver holds no buffers: the state after construction and after
    // disposeBuffers.
    void ExpectNoBuffers() {
        korvex::AsioDriver& o = object();
        EXPECT_EQ(o.callbacks.load(), nullptr);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(o.outputBuffers[i], nullptr) << "output " << i;
            EXPECT_EQ(o.outputActive[i], 0) << "output " << i;
        }
        for (int j = 0; j < 2; ++j) {
            EXPECT_EQ(o.inputBuffers[j], nullptr) << "input " << j;
            EXPECT_EQ(o.inputActive[j], 0) << "input " << j;
        }
    }

    // The driver holds this map, in map order.
    void ExpectHeld(const sim::devctl::BufferMap& map) {
        for (int i = 0; i < 8; ++i) EXPECT_EQ(object().outputBuffers[i], At(map[i])) << "output " << i;
        for (int j = 0; j < 2; ++j) EXPECT_EQ(object().inputBuffers[j], At(map[8 + j])) << "input " << j;
    }

    std::vector<int32_t> Actives() {
        std::vector<int32_t> flags(std::begin(object().outputActive), std::end(object().outputActive));
        flags.insert(flags.end(), std::begin(object().inputActive), std::end(object().inputActive));
        return flags;
    }

    std::shared_ptr<MapDoctor> doctor;

private:
    std::shared_ptr<sim::Card> doctoredCard_;
};

TEST_F(DriverBuffers, NoChannelsStillMapsClearsAndAsksBothQuestions) {
    AddDoctoredCard();
    ASSERT_NE(OpenDriverOnCard(), nullptr);
    ASSERT_EQ(driver->setSampleRate(96000.0), ASE_OK);  // puts a rate into the control block
    card->ClearRequests();

    ASSERT_EQ(driver->createBuffers(nullptr, 0, 256, host.table()), ASE_OK);

    const std::vector<sim::CardRequest> requests = card->Requests();
    ASSERT_EQ(Ids(*card), (IdList{kControl, kMapBuffers}));
    const sim::devctl::ControlBlock block = Block(requests[0]);
    EXPECT_EQ(block[sim::devctl::kCommandOffset], sim::devctl::kCmdBufferSize);
    EXPECT_EQ(Int32At(block, sim::devctl::kBufferFramesOffset), 256);
    EXPECT_EQ(Int32At(block, sim::devctl::kRateOffset), 96000) << "the other fields stay as they were";
    EXPECT_TRUE(requests[1].IsGet());
    EXPECT_EQ(requests[1].valueLength, sim::devctl::kBufferMapSize);

    // All ten buffers held and cleared over both halves: 2048 bytes each.
    const sim::devctl::BufferMap map = card->MappedBuffers();
    ExpectHeld(map);
    for (int c = 0; c < sim::devctl::kChannels; ++c) {
        const int32_t* samples = simtest::Buffer(map, c);
        int dirty = 0;
        for (int s = 0; s < 2 * 256; ++s) dirty += samples[s] != 0;
        EXPECT_EQ(dirty, 0) << "channel buffer " << c;
    }
    EXPECT_EQ(Actives(), std::vector<int32_t>(10, 0));
    EXPECT_EQ(object().callbacks.load(), host.table());
    EXPECT_EQ(object().bufferSize.load(), 256);

    const std::vector<simtest::HostMessage> messages = host.Messages();
    ASSERT_EQ(messages.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(messages[i].selector, i == 0 ? kAsioSupportsTimeInfo : kAsioSupportsTimeCode);
        EXPECT_EQ(messages[i].value, 0);
        EXPECT_EQ(messages[i].message, nullptr);
        EXPECT_EQ(messages[i].opt, nullptr);
    }
}

TEST_F(DriverBuffers, EachRequestedChannelGetsBothHalvesOfItsBuffer) {
    // A two-output model: the bounds are the card's eight outputs all the same.
    ASSERT_NE(OpenDriver(sim::CardModel::Pico), nullptr);
    std::vector<ASIOBufferInfo> infos =
        Entries({{ASIOFalse, 0}, {5, 1}, {ASIOFalse, 7}, {ASIOFalse, 0}, {ASIOTrue, 0}});

    ASSERT_EQ(CreateBuffers(infos, 256), ASE_OK);

    const sim::devctl::BufferMap map = card->MappedBuffers();
    const int mapIndex[] = {0, 9, 7, 0, 8};  // outputs first, then inputs
    for (size_t e = 0; e < infos.size(); ++e) {
        SCOPED_TRACE("entry " + std::to_string(e));
        EXPECT_EQ(infos[e].buffers[0], At(map[mapIndex[e]]));
        EXPECT_EQ(static_cast<char*>(infos[e].buffers[1]) - static_cast<char*>(infos[e].buffers[0]), 1024);
    }
    EXPECT_EQ(Actives(), (std::vector<int32_t>{1, 0, 0, 0, 0, 0, 0, 1, 1, 1}));

    ASIOChannelInfo info{};
    info.channel = 7;
    info.isInput = ASIOFalse;
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOTrue);
}

TEST_F(DriverBuffers, ChannelOutOfRangeGivesEverythingBack) {
    struct Row {
        ASIOBool isInput;
        int32_t channel;
    };
    const Row rows[] = {{ASIOFalse, 8}, {ASIOTrue, 2}, {ASIOFalse, -1}, {ASIOTrue, -1}, {7, -5}, {ASIOFalse, INT_MIN}};
    ASSERT_NE(OpenDriver(), nullptr);
    void* const untouched = reinterpret_cast<void*>(uintptr_t{0x5A5A});

    for (const Row& row : rows) {
        SCOPED_TRACE("isInput " + std::to_string(row.isInput) + " channel " + std::to_string(row.channel));
        std::vector<ASIOBufferInfo> infos = Entries({{ASIOFalse, 1}, {row.isInput, row.channel}, {ASIOFalse, 2}});
        infos[2].buffers[0] = infos[2].buffers[1] = untouched;
        card->ClearRequests();

        EXPECT_EQ(CreateBuffers(infos, 128), ASE_InvalidParameter);

        const std::vector<sim::CardRequest> requests = card->Requests();
        ASSERT_EQ(Ids(*card), (IdList{kControl, kMapBuffers, kUnmapBuffers}));
        const sim::devctl::BufferMap map = MapOf(requests[1]);
        EXPECT_EQ(MapOf(requests[2]), map) << "the ten addresses go back in map order";
        EXPECT_TRUE(requests[2].Succeeded());
        EXPECT_EQ(card->Mappings(), 0);
        // The entry before the bad one was filled; the one after was not.
        EXPECT_EQ(infos[0].buffers[0], At(map[1]));
        EXPECT_EQ(infos[2].buffers[0], untouched);
        EXPECT_EQ(infos[2].buffers[1], untouched);
        ExpectNoBuffers();

        card->ClearRequests();
        EXPECT_EQ(driver->start(), ASE_NotPresent);
        EXPECT_TRUE(card->Requests().empty());
    }
}

TEST_F(DriverBuffers, RefusedMapChangesNothingButTheControlBlock) {
    ASSERT_NE(OpenDriver(), nullptr);
    std::vector<ASIOBufferInfo> first = Entries({{ASIOFalse, 0}});

    // From no buffers: nothing is stored, the host is not asked.
    card->FailRequest(kMapBuffers, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateBuffers(first, 256), ASE_NoMemory);
    EXPECT_EQ(first[0].buffers[0], nullptr);
    ExpectNoBuffers();
    EXPECT_TRUE(host.Messages().empty());
    EXPECT_EQ(driver->start(), ASE_NotPresent);

    // With buffers: the earlier ones stay.
    ASSERT_EQ(CreateBuffers(first, 256), ASE_OK);
    const sim::devctl::BufferMap held = card->MappedBuffers();
    host.ClearMessages();
    card->ClearRequests();
    card->FailRequest(kMapBuffers, ERROR_NOT_ENOUGH_MEMORY);
    std::vector<ASIOBufferInfo> second = Entries({{ASIOFalse, 1}});
    EXPECT_EQ(CreateBuffers(second, 512), ASE_NoMemory);

    EXPECT_EQ(Ids(*card), (IdList{kControl, kMapBuffers}));
    EXPECT_EQ(object().control.bufferFrames, 512);
    EXPECT_EQ(object().bufferSize.load(), 256);
    ExpectHeld(held);
    EXPECT_EQ(Actives(), (std::vector<int32_t>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(second[0].buffers[0], nullptr);
    EXPECT_TRUE(host.Messages().empty());
}

TEST_F(DriverBuffers, ArgumentsThatCannotWorkAreRefusedBeforeAnythingIsSent) {
    ASSERT_NE(OpenDriver(), nullptr);
    ASIOCallbacks noMessage = *host.table();
    noMessage.asioMessage = nullptr;
    ASIOCallbacks noSwitch = *host.table();
    noSwitch.bufferSwitch = nullptr;
    noSwitch.bufferSwitchTimeInfo = nullptr;
    std::vector<ASIOBufferInfo> one = Entries({{ASIOFalse, 0}});
    struct Row {
        const char* what;
        ASIOBufferInfo* infos;
        int32_t count;
        int32_t frames;
        ASIOCallbacks* callbacks;
    };
    const Row rows[] = {
        {"no samples per half", one.data(), 1, 0, host.table()},
        {"negative samples per half", one.data(), 1, -256, host.table()},
        {"no callback table", one.data(), 1, 256, nullptr},
        {"no asioMessage", one.data(), 1, 256, &noMessage},
        {"neither buffer switch", one.data(), 1, 256, &noSwitch},
        {"no entries for one channel", nullptr, 1, 256, host.table()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        card->ClearRequests();
        EXPECT_EQ(driver->createBuffers(row.infos, row.count, row.frames, row.callbacks), ASE_InvalidParameter);
        EXPECT_TRUE(card->Requests().empty());
        EXPECT_EQ(one[0].buffers[0], nullptr);
        ExpectNoBuffers();
        EXPECT_TRUE(host.Messages().empty());
    }

    // Without entries to walk, a missing array is no fault.
    for (int32_t count : {0, -3}) {
        EXPECT_EQ(driver->createBuffers(nullptr, count, 256, host.table()), ASE_OK) << count;
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    }
}

TEST_F(DriverBuffers, NullMapEntryIsNeverClearedAndCountsAsNoChannel) {
    AddDoctoredCard();
    ASSERT_NE(OpenDriverOnCard(), nullptr);
    doctor->blankEntry = 3;

    // Asking for the channel without memory fails like an unknown channel;
    // with one address missing there is no complete map to give back.
    std::vector<ASIOBufferInfo> missing = Entries({{ASIOFalse, 0}, {ASIOFalse, 3}});
    card->ClearRequests();
    EXPECT_EQ(CreateBuffers(missing, 64), ASE_InvalidParameter);
    EXPECT_EQ(Ids(*card), (IdList{kControl, kMapBuffers}));
    ExpectNoBuffers();

    // Other channels work; the missing one stays null and is not cleared.
    std::vector<ASIOBufferInfo> present = Entries({{ASIOFalse, 0}, {ASIOTrue, 1}});
    ASSERT_EQ(CreateBuffers(present, 64), ASE_OK);
    EXPECT_EQ(object().outputBuffers[3], nullptr);
    EXPECT_NE(object().outputBuffers[2], nullptr);
    EXPECT_EQ(static_cast<int32_t*>(present[0].buffers[1])[63], 0);
    card->ClearRequests();
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_TRUE(card->Requests().empty());
    ExpectNoBuffers();
}

TEST_F(DriverBuffers, AnswersToTheTimingQuestionsSetUpTheTimeRecord) {
    struct Row {
        int32_t timeInfo;
        int32_t timeCode;
    };
    const Row rows[] = {{1, 1}, {1, 0}, {2, 1}, {0, 2}, {-1, -1}};
    ASSERT_NE(OpenDriver(), nullptr);
    constexpr uint8_t kOld = 0x5A;
    auto untouched = [&](const void* p, size_t n) {
        const auto* bytes = static_cast<const uint8_t*>(p);
        for (size_t i = 0; i < n; ++i) {
            if (bytes[i] != kOld) return false;
        }
        return true;
    };
    auto zero = [](const void* p, size_t n) {
        const auto* bytes = static_cast<const uint8_t*>(p);
        for (size_t i = 0; i < n; ++i) {
            if (bytes[i] != 0) return false;
        }
        return true;
    };

    for (const Row& row : rows) {
        SCOPED_TRACE("answers " + std::to_string(row.timeInfo) + ", " + std::to_string(row.timeCode));
        korvex::AsioDriver& o = object();
        memset(&o.asioTime, kOld, sizeof o.asioTime);
        o.timeStamp.Store(0x1234'0000'5678);
        host.timeInfoAnswer = row.timeInfo;
        host.timeCodeAnswer = row.timeCode;
        std::vector<ASIOBufferInfo> infos = Entries({{ASIOFalse, 0}});
        ASSERT_EQ(CreateBuffers(infos, 256), ASE_OK);

        const AsioTimeInfo& info = o.asioTime.timeInfo;
        EXPECT_EQ(o.timeInfoMode.load(), row.timeInfo == 1 ? 1 : 0);
        if (row.timeInfo == 1) {
            EXPECT_EQ(info.speed, 0.0);
            EXPECT_EQ(simtest::Words(info.samplePosition), 0u);
            EXPECT_EQ(info.sampleRate, 48000.0);
            EXPECT_EQ(info.flags, kSystemTimeValid | kSamplePositionValid | kSampleRateValid);
            EXPECT_TRUE(untouched(&info.systemTime, sizeof info.systemTime));
            EXPECT_TRUE(untouched(info.reserved, sizeof info.reserved));
            EXPECT_EQ(o.timeStamp.hi.load(), 0u);
            EXPECT_EQ(o.timeStamp.lo.load(), 0u);
        } else {
            EXPECT_TRUE(zero(&info, sizeof info));
        }

        const ASIOTimeCode& code = o.asioTime.timeCode;
        EXPECT_EQ(o.timeCodeSupported.load(), row.timeCode == 1 ? 1 : 0);
        if (row.timeCode == 1) {
            EXPECT_EQ(code.speed, 0.0);
            EXPECT_EQ(simtest::Words(code.timeCodeSamples), 0u);
            EXPECT_EQ(code.flags, kTcValid | kTcRunning);
            EXPECT_TRUE(untouched(code.future, sizeof code.future));
        } else {
            EXPECT_TRUE(zero(&code, sizeof code));
        }
        EXPECT_TRUE(untouched(o.asioTime.reserved, sizeof o.asioTime.reserved));
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    }
}

TEST_F(DriverBuffers, DisposeGivesTheMapBackOnceAndForgetsTheSelection) {
    ASSERT_NE(OpenDriver(), nullptr);
    card->ClearRequests();
    EXPECT_EQ(driver->start(), ASE_NotPresent);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_TRUE(card->Requests().empty()) << "nothing to start or give back before createBuffers";

    std::vector<ASIOBufferInfo> infos = Entries({{ASIOFalse, 2}, {ASIOTrue, 1}});
    ASSERT_EQ(CreateBuffers(infos, 256), ASE_OK);
    const sim::devctl::BufferMap map = card->MappedBuffers();
    card->ClearRequests();

    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    const std::vector<sim::CardRequest> requests = card->Requests();
    ASSERT_EQ(Ids(*card), (IdList{kUnmapBuffers}));
    EXPECT_TRUE(requests[0].IsSet());
    EXPECT_EQ(MapOf(requests[0]), map);
    EXPECT_EQ(card->Mappings(), 0);
    ExpectNoBuffers();
    EXPECT_EQ(object().bufferSize.load(), 256) << "left as it was";
    EXPECT_EQ(object().timeInfoMode.load(), 1) << "left as it was";

    card->ClearRequests();
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_TRUE(card->Requests().empty()) << "a second dispose has nothing to give back";
    EXPECT_EQ(driver->start(), ASE_NotPresent);
    EXPECT_TRUE(card->Requests().empty());
}

TEST_F(DriverBuffers, SecondCreateTakesANewMapAndKeepsEarlierFlags) {
    ASSERT_NE(OpenDriver(), nullptr);
    std::vector<ASIOBufferInfo> first = Entries({{ASIOFalse, 0}, {ASIOTrue, 0}});
    ASSERT_EQ(CreateBuffers(first, 256), ASE_OK);
    const sim::devctl::BufferMap earlier = card->MappedBuffers();
    card->ClearRequests();

    std::vector<ASIOBufferInfo> second = Entries({{ASIOFalse, 5}});
    ASSERT_EQ(CreateBuffers(second, 128), ASE_OK);

    EXPECT_EQ(Ids(*card), (IdList{kControl, kMapBuffers})) << "the earlier map is not given back";
    EXPECT_EQ(card->Mappings(), 2);
    const sim::devctl::BufferMap latest = card->MappedBuffers();
    EXPECT_NE(latest, earlier);
    ExpectHeld(latest);
    EXPECT_EQ(second[0].buffers[0], At(latest[5]));
    EXPECT_EQ(static_cast<char*>(second[0].buffers[1]) - static_cast<char*>(second[0].buffers[0]), 512);
    EXPECT_EQ(Actives(), (std::vector<int32_t>{1, 0, 0, 0, 0, 1, 0, 0, 1, 0}));

    card->ClearRequests();
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    ASSERT_EQ(Ids(*card), (IdList{kUnmapBuffers}));
    EXPECT_EQ(MapOf(card->Requests()[0]), latest);
}

}  // namespace
