#include "publish/MosquittoLibrary.h"

#include "publish/PublishUrl.h"

#include <QStringList>
#include <dlfcn.h>

bool LoadMosquitto(const char* library, MosquittoCalls& calls, QString& error)
{
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = QStringLiteral("Publishing needs libmosquitto (%1), which cannot be loaded: %2")
                    .arg(QLatin1String(library), QString::fromLocal8Bit(dlerror()));
        return false;
    }
    MosquittoCalls found;
    QStringList missing;
#define DCLOAD_MOSQUITTO_FIND(name)                                                             \
    found.name = reinterpret_cast<decltype(found.name)>(dlsym(handle, #name));                  \
    if (!found.name)                                                                            \
        missing << QStringLiteral(#name);
    DCLOAD_MOSQUITTO_CALLS(DCLOAD_MOSQUITTO_FIND)
#undef DCLOAD_MOSQUITTO_FIND
    if (!missing.isEmpty()) {
        // A library that is not libmosquitto, or one too old: it stays loaded (its
        // constructors have run), but nothing of it is called.
        error = QStringLiteral("Publishing needs libmosquitto; %1 lacks %2")
                    .arg(QLatin1String(library), missing.join(QStringLiteral(", ")));
        return false;
    }
    calls = found;
    return true;
}

const MosquittoCalls& Mosquitto()
{
    // A load that throws is tried again by the next caller.
    static const MosquittoCalls calls = [] {
        MosquittoCalls loaded;
        QString error;
        if (!LoadMosquitto(kMosquittoLibrary, loaded, error))
            throw EPublishSetup(error);
        loaded.mosquitto_lib_init();
        return loaded;
    }();
    return calls;
}
