// Masking the password of a URL.
#include "dynaddr/UrlMask.h"

namespace {

// Where the password of a URL's user information lies: from the first ":" of the user
// information to its end, the last "@" before the host's "/". Empty when there is none.
struct PasswordSpan {
    qsizetype From = 0;
    qsizetype Length = 0;
};

PasswordSpan FindPassword(const QByteArray &url)
{
    const qsizetype scheme = url.indexOf("://");
    if (scheme < 0)
        return {};
    const qsizetype start = scheme + 3;
    qsizetype end = url.indexOf('/', start);
    if (end < 0)
        end = url.size();
    // A host never holds an at sign, a password may: the user information ends at the last one.
    const qsizetype at = url.lastIndexOf('@', end - 1);
    if (at < start)
        return {};
    const qsizetype colon = url.indexOf(':', start);
    if (colon < 0 || colon >= at)
        return {};
    return {colon + 1, at - colon - 1};
}

} // namespace

QByteArray MaskUrlPassword(const QByteArray &url)
{
    const PasswordSpan span = FindPassword(url);
    if (span.Length == 0)
        return url;
    return QByteArray(url).replace(span.From, span.Length, MaskedPassword);
}

QByteArray RestoreUrlPassword(const QByteArray &edited, const QByteArray &original)
{
    const PasswordSpan shown = FindPassword(edited);
    const PasswordSpan stored = FindPassword(original);
    if (shown.Length == 0 || stored.Length == 0 || edited.mid(shown.From, shown.Length) != MaskedPassword)
        return edited;
    return QByteArray(edited).replace(shown.From, shown.Length, original.mid(stored.From, stored.Length));
}
