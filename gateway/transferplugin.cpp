#include "transferplugin.h"

// Plug-ins are not hosted yet: nothing loads, every direction passes its
// blocks unchanged.
struct CTransferPlugin::SImpl {};

std::unique_ptr<CTransferPlugin> CTransferPlugin::Load(const QByteArray&)
{
    return nullptr;
}

CTransferPlugin::~CTransferPlugin() = default;

int CTransferPlugin::Init(const QByteArray&) { return 0; }

CTransferPlugin::ETransfer CTransferPlugin::Transfer(const char*, int, QByteArray*, QByteArray*)
{
    return SendReceived;
}

int CTransferPlugin::AfterSend(const char*, int) { return 0; }

int CTransferPlugin::Quit() { return 0; }
