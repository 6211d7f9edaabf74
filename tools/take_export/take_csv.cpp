#include <cmath>
#include <exception>

#include "tools/take_export/take_export.h"
#include "tools/take_export/text_output.h"

namespace telmora {
namespace {

void appendCsvField(std::string& text, const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        text += field;
        return;
    }
    text += '"';
    for (char c : field) {
        if (c == '"') text += '"';
        text += c;
    }
    text += '"';
}

// The reason a row cannot be written (a value that is not a number), or nothing.
bool rowIsFinite(const TakeCsvRow& row, std::size_t index, std::string& error) {
    for (double value : {row.time, row.translation.x, row.translation.y, row.translation.z,
                         row.rotation.x, row.rotation.y, row.rotation.z}) {
        if (!std::isfinite(value)) {
            error = "row " + std::to_string(index) + " (bone '" + row.bone +
                    "'): a value is not finite";
            return false;
        }
    }
    return true;
}

}  // namespace

bool writeTakeCsv(const std::string& path, const TakeCsvRowSource& next, std::string& error) {
    return writeWithoutThrowing("the CSV file", error, [&] {
        ChunkedTextFile file;  // removed unless finished: a refused take leaves no file
        if (!file.open(path, error)) return false;
        std::string& text = file.text;
        text = "time,bone,tx,ty,tz,rx,ry,rz\n";
        TakeCsvRow row;
        for (std::size_t i = 0; next(row); ++i) {
            if (!rowIsFinite(row, i, error)) return false;
            appendFixed6(text, row.time);
            text += ',';
            appendCsvField(text, row.bone);
            for (double value : {row.translation.x, row.translation.y, row.translation.z,
                                 row.rotation.x, row.rotation.y, row.rotation.z}) {
                text += ',';
                appendFixed6(text, value);
            }
            text += '\n';
            if (!file.flushIfFull(error)) return false;
        }
        return file.finish(error);
    });
}

bool writeTakeCsv(const std::string& path, const std::vector<TakeCsvRow>& rows,
                  std::string& error) {
    // Every row checked first, so a refused take leaves a file already at the path alone.
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (!rowIsFinite(rows[i], i, error)) return false;
    std::size_t i = 0;
    return writeTakeCsv(
        path,
        [&](TakeCsvRow& row) {
            if (i == rows.size()) return false;
            row = rows[i++];
            return true;
        },
        error);
}

}  // namespace telmora
