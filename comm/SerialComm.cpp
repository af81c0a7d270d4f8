#include "comm/SerialComm.h"

// Placeholder so the tree links; the real component replaces this file.
TComm::TComm(QObject* AOwner) : QObject(AOwner) {}
TComm::~TComm() = default;
void TComm::StartComm() { throw ECommsError("Error opening serial port"); }
void TComm::StopComm() {}
bool TComm::WriteCommData(const char*, uint16_t) { return false; }
uint32_t TComm::GetModemState() { return 0; }
void TComm::setBaudRate(uint32_t v) { FBaudRate = v; }
void TComm::setParityCheck(bool v) { FParityCheck = v; }
void TComm::setOutx_CtsFlow(bool v) { FOutx_CtsFlow = v; }
void TComm::setOutx_DsrFlow(bool v) { FOutx_DsrFlow = v; }
void TComm::setDtrControl(TDtrControl v) { FDtrControl = v; }
void TComm::setDsrSensitivity(bool v) { FDsrSensitivity = v; }
void TComm::setTxContinueOnXoff(bool v) { FTxContinueOnXoff = v; }
void TComm::setOutx_XonXoffFlow(bool v) { FOutx_XonXoffFlow = v; }
void TComm::setInx_XonXoffFlow(bool v) { FInx_XonXoffFlow = v; }
void TComm::setReplaceWhenParityError(bool v) { FReplaceWhenParityError = v; }
void TComm::setIgnoreNullChar(bool v) { FIgnoreNullChar = v; }
void TComm::setRtsControl(TRtsControl v) { FRtsControl = v; }
void TComm::setXonLimit(uint16_t v) { FXonLimit = v; }
void TComm::setXoffLimit(uint16_t v) { FXoffLimit = v; }
void TComm::setByteSize(TByteSize v) { FByteSize = v; }
void TComm::setStopBits(TStopBits v) { FStopBits = v; }
void TComm::setXonChar(char v) { FXonChar = v; }
void TComm::setXoffChar(char v) { FXoffChar = v; }
void TComm::setReplacedChar(char v) { FReplacedChar = v; }
void TComm::setReadIntervalTimeout(uint32_t v) { FReadIntervalTimeout = v; }
void TComm::setReadTotalTimeoutMultiplier(uint32_t v) { FReadTotalTimeoutMultiplier = v; }
void TComm::setReadTotalTimeoutConstant(uint32_t v) { FReadTotalTimeoutConstant = v; }
void TComm::setWriteTotalTimeoutMultiplier(uint32_t v) { FWriteTotalTimeoutMultiplier = v; }
void TComm::setWriteTotalTimeoutConstant(uint32_t v) { FWriteTotalTimeoutConstant = v; }
