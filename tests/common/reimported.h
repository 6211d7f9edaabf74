#pragma once
// An exported file read back by an independent reader (Assimp), its nodes evaluated at the
// animation's own keys, so tests compare what another program sees with what was written.

#include <assimp/scene.h>

#include <assimp/Importer.hpp>
#include <glm/glm.hpp>
#include <map>
#include <string>

namespace telmora::test {

// Assimp's row-major matrix as GLM's column-major one.
glm::dmat4 toGlm(const aiMatrix4x4& m);

class Reimported {
public:
    // Reads `path` with no post-processing; scene() is null when Assimp could not read it.
    explicit Reimported(const std::string& path);
    Reimported(const Reimported&) = delete;
    Reimported& operator=(const Reimported&) = delete;

    const aiScene* scene() const { return scene_; }
    std::string error() const { return importer_.GetErrorString(); }
    // Null when the file has no node (or no animation channel) of that name.
    const aiNode* node(const std::string& name) const;
    const aiNodeAnim* channel(const std::string& name) const;
    // Of the file's single animation; Assimp reports 0 when the file does not say, and its key
    // times are then in seconds.
    double ticksPerSecond() const;
    // Global position of `name` at key `key` of every animated node, in the file's units.
    glm::dvec3 position(const std::string& name, unsigned key) const;

private:
    void index(const aiNode* n);
    glm::dmat4 local(const aiNode* n, unsigned key) const;

    Assimp::Importer importer_;
    const aiScene* scene_ = nullptr;
    std::map<std::string, const aiNode*> nodes_;
    std::map<std::string, const aiNodeAnim*> channels_;
};

}  // namespace telmora::test
