// folderacl.h - who may change the folders the setup makes, and whose folders
// it writes into

#ifndef FOLDERACL_H
#define FOLDERACL_H

#include <windows.h>

/* Fills sa for a folder the setup creates: a protected DACL (nothing taken
   from the parent folder) giving full control to the user running the setup,
   Administrators and SYSTEM, and read and execute to Users, for the folder,
   its subfolders and its files. Under C:\ a new folder would otherwise let
   any signed-in user change what is installed. The descriptor is built once
   and kept to the end of the process. Returns 0, with sa untouched, when it
   cannot be built. */
int GetFolderSecurity(SECURITY_ATTRIBUTES *sa);

/* 1 when the setup runs elevated, or when its token cannot tell. */
int IsSetupElevated(void);

/* 1 when the folder's owner is the user running the setup, Administrators
   or SYSTEM; 0 for any other owner, and when the owner cannot be read.
   hFolder needs READ_CONTROL. */
int IsFolderOwnerTrusted(HANDLE hFolder);

#endif
