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

}  // namespace

bool writeTakeCsv(const std::string& path, const std::vector<TakeCsvRow>& rows,
                  std::string& error) {
    return writeWithoutThrowing("the CSV file", error, [&] {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const TakeCsvRow& row = rows[i];
            const double values[] = {row.time,          row.translation.x, row.translation.y,
                                     row.translation.z, row.rotation.x,    row.rotation.y,
                                     row.rotation.z};
            for (double value : values) {
                if (!std::isfinite(value)) {
                    error = "row " + std::to_string(i) + " (bone '" + row.bone +
                            "'): a value is not finite";
                    return false;
                }
            }
        }
        ChunkedTextFile file;
        if (!file.open(path, error)) return false;
        std::string& text = file.text;
        text = "time,bone,tx,ty,tz,rx,ry,rz\n";
        for (const TakeCsvRow& row : rows) {
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

}  // namespace telmora
