// unpack.cpp - the install's files as a pipeline: a source of the payload's
// bytes, the file sink that writes them beside the earlier files under the
// install folder, then the commit that puts them in place, or the undoing
// of what was written

#include <windows.h>

#include "install.h"
#include "filesink.h"
#include "steps.h"

int UnpackPayload(PayloadToInstall *payload, const char *folder, int fFolderMade, char *szFailure,
                  size_t cbFailure)
{
    STEP_MARK("load");
    FileSink sink;
    int ok = StartFiles(&sink, folder, fFolderMade, payload->cEntries, szFailure, cbFailure);
    if (ok)
    {
        ok = payload->fCompressed ? WriteCompressedPayload(&sink, payload) : WriteStoredPayload(&sink, payload);
        // Nothing earlier is touched until every file is written.
        if (ok)
            ok = CommitFiles(&sink);
        else
            UndoFiles(&sink);
    }
    CloseFiles(&sink);
    if (ok)
        FinishFiles(&sink);
    return ok;
}
