#pragma once
// TPortEvent: one message from a worker thread to TComm's window. A received chunk travels
// inside it (bytes plus one NUL), so whoever destroys the event, delivered or not, frees it.
#include <QEvent>
#include <cstdint>
#include <memory>

class TPortEvent : public QEvent
{
public:
    static constexpr Type PortData = static_cast<Type>(QEvent::User + 1); // Value: byte count
    static constexpr Type PortError = static_cast<Type>(QEvent::User + 2); // Value: error word
    static constexpr Type PortHangup = static_cast<Type>(QEvent::User + 3);
    static constexpr Type PortModem = static_cast<Type>(QEvent::User + 4); // Value: 4, 8 or 12
    static constexpr Type PortSendEmpty = static_cast<Type>(QEvent::User + 5);

    static bool IsPortEvent(Type t) { return t >= PortData && t <= PortSendEmpty; }

    TPortEvent(Type type, uint32_t value, std::unique_ptr<char[]> block = nullptr)
        : QEvent(type)
        , FValue(value)
        , FBlock(std::move(block))
    { }

    uint32_t Value() const { return FValue; }
    std::unique_ptr<char[]> TakeBlock() { return std::move(FBlock); }

private:
    uint32_t FValue;
    std::unique_ptr<char[]> FBlock;
};
