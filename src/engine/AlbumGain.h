#pragma once
// Album gains: once every row of a batch is done, the rows converted from one folder (or of one
// album tag) count as an album, and the album's loudness and peak go into each of their targets.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/Driver.h"
#include "engine/Loudness.h"

namespace sonavert {

// A converted row whose meter takes part in its album's figures.
struct AlbumRow {
    int row = 0;             // the caller's row index
    std::string album;       // its album, by AlbumOf
    std::string targetPath;  // the final target
    std::string extension;   // the output format's extension, for the kind of tags
    std::shared_ptr<LoudnessMeter> meter;
};

// What names the album of a row's source. By the LoudnessAlbumGrouping setting: the folder the
// source lies in, or its album artist (else its artist) and album tag, a source without an album
// tag falling back to its folder. Two sources belong to one album when their names are equal.
std::string AlbumOf(const std::string& sourcePath, const Settings& settings);

// Writes the album gain and peak into every target of each album's rows, each through a
// temporary beside it that then replaces it. An album with rows of the batch that did not
// convert (failed, skipped, up to date) gets none: the gain of part of an album would be wrong.
// `batchRows` counts the batch's rows by AlbumOf. Tells `sink` the album gain of every row, or
// why it was not written.
void WriteAlbumGains(std::vector<AlbumRow> rows, const std::map<std::string, size_t>& batchRows, RowSink& sink);

}  // namespace sonavert
