// "Save img": the owner who holds both the artwork and its paired certificate writes the artwork's
// inscription bytes, unchanged, to a file of their choosing. The ownership check and the download
// run on a worker thread; the save dialog and the write on the GUI thread.
#pragma once

#include <windows.h>

#include "ordinals/ord_row.h"
#include "shell/shell.h"

#include <string>

// The extension for an exact content type: jpg, webp, gif, png, pdf, else "bin".
std::string ext_from_mime(const std::string& content_type);

// True when the result is saved as a PDF: the content type says so or the bytes begin "%PDF".
bool save_result_is_pdf(const std::string& content_type, const Bytes& bytes);

// The file name the dialog proposes: the artwork's name ("artwork" when empty) with the characters
// Windows forbids in file names turned into "_", a dot and `extension`; shortened so that it fits
// the dialog's 260-character buffer with its extension whole.
std::wstring proposed_file_name(const std::string& name, const std::string& extension);

// GUI thread: "Checking ownership..." and the worker for the row's key and name.
void start_save_img(const KvCofferlyOrdRow& row);
// Worker thread: the certificate check, then the bytes; posts kMsgSaveArt with a SaveArtResult.
void save_img_worker(OpenArtJob& job);
// Fills the result the worker posts; split from it so the outcome texts can be checked.
void save_img_result(const OpenArtJob& job, SaveArtResult& result);
// GUI thread, for kMsgSaveArt: the status text of a failure, or the dialog and the write.
void save_artwork_dialog(const SaveArtResult& result);
