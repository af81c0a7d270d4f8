#pragma once
// Where the operator's actions tell the operator why an entry was refused: a modal box in
// the window, standard error on the command line. Each message is shown once and the
// call returns when the operator has seen it.
#include <QString>

class IOperatorMessages
{
public:
    virtual ~IOperatorMessages() = default;
    virtual void Tell(const QString& message) = 0;
};
