// Where the program's DLLs may come from.
#pragma once

// Restricts every later DLL load of the process, its own and the system DLLs' helpers, to the
// system folder, so that a file in the package's folder (often the user's Downloads) named
// like a system DLL is never loaded into the elevated process. Looked up at run time: on a
// system without the call the search is left as it is.
void LoadDllsFromSystemFolderOnly();
