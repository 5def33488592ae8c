#pragma once

#include "stream/tlscontext.h"

#include <QByteArray>
#include <QByteArrayList>

#include <memory>
#include <vector>

// The TLS contexts a gateway's ports have made, kept across their starts.
// A context is made anew when its files have changed on disk (inode, size
// or time of change of Certificate=, Key= or CA=), so that a renewed
// certificate is taken by the next handshake without a restart; sessions
// under way keep the context they began with. When changed files cannot be
// used (a renewal half written), the context made before stays in use and
// the reason comes once as a warning; the next change is tried again.
class CTlsContextStore
{
public:
    struct SResult
    {
        std::shared_ptr<CTlsContext> pContext; // null: none usable, strError says why
        QByteArray strError;
        // Made now from the files (its Warnings() are new), and whether it
        // takes the place of one made before from other contents.
        bool bMade = false;
        bool bRenewed = false;
        // The changed files cannot be used: why (pContext is the one before).
        QByteArray strKept;
    };

    SResult Get(const STlsConfig& config, CTlsContext::ERole eRole);

private:
    struct SEntry
    {
        QByteArray strKey;
        QByteArray strFiles;       // the files' state the context was made from
        QByteArray strFailedFiles; // the files' state last found unusable
        std::shared_ptr<CTlsContext> pContext;
    };
    std::vector<SEntry> m_entries;
};
