#include "transferplugin.h"

#include "pluginpath.h"

#define TRELVANE_NO_PROTOTYPES
#include "trelvane_plugin.h"

#include <cstring>
#include <dlfcn.h>
#include <link.h>

// The loader: dlopen with RTLD_LOCAL so that two plug-ins never see each
// other's symbols, RTLD_NOW so that a plug-in with unresolved symbols fails
// at load instead of in the middle of a pass.
struct CTransferPlugin::SImpl
{
    void* m_hModule = nullptr;
    TrelvaneDllInitFn m_pfnInit = nullptr;
    TrelvaneDllTransferFn m_pfnTransfer = nullptr;
    TrelvaneDllAfterSendFn m_pfnAfterSend = nullptr;
    TrelvaneDllQuitFn m_pfnQuit = nullptr;

    ~SImpl()
    {
        if (m_hModule)
            dlclose(m_hModule);
    }

    template <typename T>
    T Resolve(const char* pszName) const
    {
        return reinterpret_cast<T>(dlsym(m_hModule, pszName));
    }
};

namespace {

// Where the loader found the library; empty when unknown.
QByteArray LoadedPath(void* hModule)
{
    link_map* pMap = nullptr;
    if (dlinfo(hModule, RTLD_DI_LINKMAP, &pMap) != 0 || !pMap || !pMap->l_name)
        return {};
    return QByteArray(pMap->l_name);
}

} // namespace

std::unique_ptr<CTransferPlugin> CTransferPlugin::Load(const QByteArray& strName)
{
    // The file is chosen first; the loader gets its path (with a "/", so it
    // searches nothing itself) and no other file is ever tried.
    const CPluginPath::SResolved resolved = CPluginPath::Resolve(strName);
    if (!resolved.Found())
        return nullptr;
    void* hModule = dlopen(resolved.m_strFile.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!hModule)
        return nullptr;

    std::unique_ptr<CTransferPlugin> pPlugin(new CTransferPlugin);
    pPlugin->m_pImpl = std::make_unique<SImpl>();
    SImpl& impl = *pPlugin->m_pImpl;
    impl.m_hModule = hModule;
    impl.m_pfnInit = impl.Resolve<TrelvaneDllInitFn>("DllInit");
    impl.m_pfnTransfer = impl.Resolve<TrelvaneDllTransferFn>("DllTransfer");
    impl.m_pfnAfterSend = impl.Resolve<TrelvaneDllAfterSendFn>("DllAfterSend");
    impl.m_pfnQuit = impl.Resolve<TrelvaneDllQuitFn>("DllQuit");
    return pPlugin;
}

QByteArray CTransferPlugin::LoadError(const QByteArray& strFile)
{
    void* hModule = dlopen(strFile.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!hModule) {
        const char* pszError = dlerror();
        return pszError ? QByteArray(pszError) : QByteArray("not loadable");
    }
    dlclose(hModule);
    return {};
}

CTransferPlugin::~CTransferPlugin() = default;

QByteArray CTransferPlugin::FileName() const
{
    return LoadedPath(m_pImpl->m_hModule);
}

int CTransferPlugin::Init(const QByteArray& strSetup)
{
    if (!m_pImpl->m_pfnInit)
        return 0;
    // QByteArray keeps a terminator after its bytes.
    return m_pImpl->m_pfnInit(strSetup.constData());
}

CTransferPlugin::ETransfer CTransferPlugin::Transfer(const char* pData, int nLen, QByteArray* pCopy,
                                                     QByteArray* pError)
{
    if (!m_pImpl->m_pfnTransfer)
        return SendReceived;

    trelvane_outvalue_t nOut = nLen;
    const char* pResult = m_pImpl->m_pfnTransfer(pData, nLen, &nOut);

    if (pResult) {
        // A count outside these bounds would make the copy read far past any
        // buffer the plug-in can have meant.
        if (nOut < 0 || nOut > TRELVANE_MAX_TRANSFER_COUNT) {
            *pError = "bad count " + QByteArray::number(qint64(nOut));
            return TransferError;
        }
        *pCopy = QByteArray(pResult, qsizetype(nOut));
        return SendCopy;
    }
    if (nOut == 0)
        return SendNothing;
    // Small and negative values are error numbers (a plug-in written for
    // 32-bit Windows may pass one), never the address of a text.
    if (nOut < TRELVANE_LOWEST_TEXT_ADDRESS) {
        *pError = "bad text " + QByteArray::number(qint64(nOut));
        return TransferError;
    }
    // Never read past the longest text the contract allows, terminated or not.
    const char* pszText = reinterpret_cast<const char*>(nOut);
    *pError = QByteArray(pszText, qsizetype(strnlen(pszText, TRELVANE_MAX_ERROR_TEXT)));
    return TransferError;
}

int CTransferPlugin::AfterSend(const char* pData, int nLen)
{
    return m_pImpl->m_pfnAfterSend ? m_pImpl->m_pfnAfterSend(pData, nLen) : 0;
}

int CTransferPlugin::Quit()
{
    return m_pImpl->m_pfnQuit ? m_pImpl->m_pfnQuit() : 0;
}
