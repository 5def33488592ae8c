#pragma once

#include <QByteArray>
#include <memory>

// One loaded transfer plug-in (a shared library with up to four exports).
// Created at the start of its port, destroyed (unloaded) at every stop. The
// exports are resolved once at load; they live and die with this object.
class CTransferPlugin
{
public:
    enum ETransfer {
        SendReceived,   // send the received block unchanged (no DllTransfer)
        SendCopy,       // send the bytes copied into *pCopy
        SendNothing,    // the plug-in swallowed this pass
        TransferError   // log "DLL Transfer Error Code:" + *pError, send the received block
    };

    // Loads the named file (name mapping: CPluginPath); null when nothing
    // loads (no message).
    static std::unique_ptr<CTransferPlugin> Load(const QByteArray& strName);
    // Why the file does not load as a plug-in (the loader's message); empty
    // when it loads. The file is unloaded again at once.
    static QByteArray LoadError(const QByteArray& strFile);
    ~CTransferPlugin();
    CTransferPlugin(const CTransferPlugin&) = delete;
    CTransferPlugin& operator=(const CTransferPlugin&) = delete;

    // The file that was loaded, as the system's loader names it.
    QByteArray FileName() const;

    // DllInit with the port's setup string; 0 when the export is missing.
    int Init(const QByteArray& strSetup);
    // One DllTransfer pass. The copy belongs to the caller, so a nested pass
    // never overwrites the bytes of a send that is still waiting.
    ETransfer Transfer(const char* pData, int nLen, QByteArray* pCopy, QByteArray* pError);
    // DllAfterSend's raw result; 0 when the export is missing.
    int AfterSend(const char* pData, int nLen);
    // DllQuit's result; 0 when the export is missing.
    int Quit();

private:
    CTransferPlugin() = default;
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};
