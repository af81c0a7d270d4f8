#pragma once
// TPortEvent: one message from a worker thread to TComm's window. Received chunks travel
// inside it (each block holds a chunk's bytes plus one NUL), so whoever destroys the event,
// delivered or not, frees them.
#include <QEvent>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

// Chunks received one after the other and handed over in one message, oldest first. Several
// per message spare the owner's thread a wake-up for each when a stream comes in faster than
// any serial line carries it.
struct TReceivedChunks
{
    static constexpr std::size_t kCapacity = 16;
    std::array<std::unique_ptr<char[]>, kCapacity> Blocks;
    std::array<uint16_t, kCapacity> Lengths {};
    std::size_t Count = 0;
};

class TPortEvent : public QEvent
{
public:
    static constexpr Type PortData = static_cast<Type>(QEvent::User + 1); // carries the chunks
    static constexpr Type PortError = static_cast<Type>(QEvent::User + 2); // Value: error word
    static constexpr Type PortHangup = static_cast<Type>(QEvent::User + 3);
    static constexpr Type PortModem = static_cast<Type>(QEvent::User + 4); // Value: 4, 8 or 12
    static constexpr Type PortSendEmpty = static_cast<Type>(QEvent::User + 5);
    static constexpr Type PortBacklog = static_cast<Type>(QEvent::User + 6);

    static bool IsPortEvent(Type t) { return t >= PortData && t <= PortBacklog; }

    TPortEvent(Type type, uint32_t value)
        : QEvent(type)
        , FValue(value)
        , FParts(1)
    { }
    explicit TPortEvent(TReceivedChunks chunks)
        : QEvent(PortData)
        , FValue(0)
        , FChunks(std::move(chunks))
        , FParts(FChunks.Count)
    { }

    uint32_t Value() const { return FValue; }
    // Which open of the port posted it (TCommWindow counts the opens); set before posting.
    uint64_t Generation() const { return FGeneration; }
    void SetGeneration(uint64_t generation) { FGeneration = generation; }

    // A message is delivered in parts, one call of a handler each: a PortData message has one
    // part per chunk, every other message a single one.
    bool Pending() const { return FNext < FParts; }
    struct TChunk
    {
        std::unique_ptr<char[]> Block; // null for messages without data
        uint16_t Length = 0;
    };
    // Marks the next part delivered and hands over its chunk, if it has one.
    TChunk TakeNext()
    {
        if (FNext >= FParts)
            return {};
        const std::size_t i = FNext++;
        if (type() != PortData)
            return {};
        return { std::move(FChunks.Blocks[i]), FChunks.Lengths[i] };
    }

private:
    uint32_t FValue;
    uint64_t FGeneration = 0;
    TReceivedChunks FChunks;
    std::size_t FParts;
    std::size_t FNext = 0;
};
