// The engine's side of the router port mapping: when mapping starts and stops, and the open
// address page naming the address the world sees while a mapping is in force.
#include "transfer/Engine.h"

void Engine::StartPortMapping()
{
    if (!commsStarted_ || ShuttingDown || !portMappingAllowed_ || !Prefs.PortMapping || mapper_.Active())
        return;
    mapper_.Start(Prefs.ListenPort, ownAddress_);
}

void Engine::ApplyPortMappingPreference()
{
    if (!commsStarted_ || ShuttingDown)
        return;
    if (portMappingAllowed_ && Prefs.PortMapping)
        StartPortMapping();
    else if (mapper_.Active())
        mapper_.Stop();
}

void Engine::PostOpenPage()
{
    if (ShuttingDown)
        return;
    if (mapper_.Active() && !mapper_.Settled()) {
        pageWaits_ = true;
        pageWaitTimer_.start();
        return;
    }
    PostPageNow();
}

void Engine::PostPageNow()
{
    pageWaits_ = false;
    pageWaitTimer_.stop();
    if (ShuttingDown || Prefs.AddressType != AddressKind::Dynamic)
        return;
    givenPageIp_ = mapper_.PageIp();
    givenPagePort_ = mapper_.PagePort();
    posting_.SetPageAddress(givenPageIp_, givenPagePort_);
    posting_.StartAddressUpload(Prefs);
}

void Engine::OnMappingSettled()
{
    if (pageWaits_)
        PostPageNow();
}

void Engine::OnMappingChanged()
{
    emit RouterMappingChanged();
    // A page waiting for the first answer is posted by it; while a new port's first answer is
    // awaited the page waits too.
    if (ShuttingDown || pageWaits_ || !commsStarted_ || Prefs.AddressType != AddressKind::Dynamic || !mapper_.Settled())
        return;
    if (mapper_.PageIp() != givenPageIp_ || mapper_.PagePort() != givenPagePort_)
        PostPageNow();
}
