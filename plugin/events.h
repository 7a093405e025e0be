// Card events at the host border: EID_WaitForCard, and the watch of EID_OnCardInserted and
// EID_OnCardRemoved, whose scripts are started from Idle messages on the host's main thread.
#pragma once

// The SDK's headers compile only in this order.
// clang-format off
#include "FMWrapper/FMXExtern.h"
#include "FMWrapper/FMXTypes.h"
#include "FMWrapper/FMXText.h"
#include "FMWrapper/FMXData.h"
#include "FMWrapper/FMXCalcEngine.h"
// clang-format on

#include <string>

namespace events {

// At Init: the kind of application that loaded the plug-in.
void Begin(FMX_Application application);

// The documents of EID_WaitForCard ( { seconds ; reader } ),
// EID_OnCardInserted ( fileName ; scriptName { ; reader ; fields } ) and
// EID_OnCardRemoved ( fileName ; scriptName { ; reader } ), from their arguments as texts.
std::string WaitForCard(const std::string& seconds, const std::string& reader);
std::string OnCardInserted(const std::string& fileName, const std::string& scriptName,
                           const std::string& reader, const std::string& fields);
std::string OnCardRemoved(const std::string& fileName, const std::string& scriptName,
                          const std::string& reader);

// Starts the scripts of the cards that came and went since the last time, in their order, when the
// message allows it, through the message's own call block. When the host fails a start, the starts
// after it stay pending and the failure goes on to the caller.
void Idle(const FMX_ExternCallStruct& block);

// At Shutdown: no watch starts and no wait begins from now on; stops the watch and every wait,
// and returns once they have ended and the watch's thread is joined, or after a fraction of a
// second, whatever the smart-card service does: a thread still inside a call to the service then
// ends by itself when the call returns, in a module kept loaded.
void End();

} // namespace events
