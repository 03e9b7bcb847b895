#include "shell/save_image.h"

#include "art/cert_check.h"
#include "ordinals/content_load.h"
#include "shell/jobs.h"
#include "shell/status_line.h"
#include "shell/text_helpers.h"

#include <commdlg.h>

#include <memory>

namespace {

constexpr std::size_t kFileNameBuffer = 260;
const char* const kNotOwnerText = "error: Save img needs the owner who also holds the certificate and artwork.";

bool is_forbidden_in_file_name(wchar_t c) {
    // Control characters are refused by the file system as well; a name read from the chain may
    // carry them.
    return c < 0x20 || c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' ||
           c == L'>' || c == L'|';
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

void show_status(const std::string& text) {
    set_status_text(utf8_to_wide(text));
}

// One write of every byte; false on a failed or short write.
bool write_whole_file(const std::wstring& path, const Bytes& bytes) {
    if (bytes.size() > MAXDWORD) return false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(bytes.size());
    const BOOL ok = WriteFile(file, bytes.data(), size, &written, nullptr);
    CloseHandle(file);
    return ok && written == size;
}

} // namespace

std::string ext_from_mime(const std::string& content_type) {
    if (content_type == "image/jpeg" || content_type == "image/jpg") return "jpg";
    if (content_type == "image/webp") return "webp";
    if (content_type == "image/gif") return "gif";
    if (content_type == "image/png") return "png";
    if (content_type == "application/pdf") return "pdf";
    return "bin";
}

bool save_result_is_pdf(const std::string& content_type, const Bytes& bytes) {
    return content_type == "application/pdf" ||
           (bytes.size() >= 5 && bytes[0] == '%' && bytes[1] == 'P' && bytes[2] == 'D' && bytes[3] == 'F');
}

std::wstring proposed_file_name(const std::string& name, const std::string& extension) {
    std::wstring base = utf8_to_wide(name);
    if (base.empty()) base = L"artwork";
    for (wchar_t& c : base)
        if (is_forbidden_in_file_name(c)) c = L'_';
    const std::wstring suffix = L"." + utf8_to_wide(extension);
    // Keep room for the extension and the terminator; a cut never leaves half a surrogate pair.
    const std::size_t room = kFileNameBuffer - 1 > suffix.size() ? kFileNameBuffer - 1 - suffix.size() : 0;
    if (base.size() > room) {
        std::size_t cut = room;
        if (cut > 0 && base[cut - 1] >= 0xD800 && base[cut - 1] <= 0xDBFF) --cut;
        base.resize(cut);
    }
    return base + suffix;
}

void start_save_img(const KvCofferlyOrdRow& row) {
    show_status("Checking ownership...");
    OpenArtJob job;
    job.id = row.key;
    job.name = row.name;
    start_save_art_image(job);
}

void save_img_result(const OpenArtJob& job, SaveArtResult& result) {
    result = SaveArtResult();
    result.name = job.name;
    const PairInfo info = art_check_artwork(job.id);
    if (info.pair_found && info.holds_artwork && info.holds_certificate && info.title_is_mine) {
        if (load_inscription_content(job.id, result.content_type, result.bytes, true, false) && !result.bytes.empty())
            result.ok = 1;
        else
            result.message = "error: could not read that artwork.";
        return;
    }
    if (info.pair_found) {
        result.message = kNotOwnerText;
        return;
    }
    if (info.message.empty())
        result.message = kNotOwnerText;
    else if (!starts_with(info.message, "error"))
        result.message = "error: " + info.message;
    else
        result.message = info.message;
}

void save_img_worker(OpenArtJob& job) {
    auto result = std::make_unique<SaveArtResult>();
    save_img_result(job, *result);
    post_to_main_window(kMsgSaveArt, 0, std::move(result));
}

void save_artwork_dialog(const SaveArtResult& result) {
    if (!result.ok) {
        show_status(result.message.empty() ? std::string("error: could not save that artwork.") : result.message);
        return;
    }
    const bool pdf = save_result_is_pdf(result.content_type, result.bytes);
    const std::string extension = pdf ? std::string("pdf") : ext_from_mime(result.content_type);
    const std::wstring proposed = proposed_file_name(result.name, extension);

    wchar_t path[kFileNameBuffer] = {};
    proposed.copy(path, kFileNameBuffer - 1);
    const std::wstring default_ext = utf8_to_wide(extension);
    static const wchar_t kPdfFilter[] = L"PDF\0*.pdf\0";
    static const wchar_t kImageFilter[] = L"Image\0*.png;*.jpg;*.jpeg;*.webp;*.gif\0";

    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = main_window;
    dialog.lpstrFilter = pdf ? kPdfFilter : kImageFilter;
    dialog.lpstrFile = path;
    dialog.nMaxFile = kFileNameBuffer;
    dialog.lpstrDefExt = default_ext.c_str();
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
    if (!GetSaveFileNameW(&dialog)) return;
    show_status(write_whole_file(path, result.bytes) ? "Artwork saved." : "error: could not write that file.");
}
