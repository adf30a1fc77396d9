/* A file written whole at the end of a run: its temporary file is made
 * beside it before the run, so a path that cannot take the result is found
 * then, and renamed into place once the text is in it. */
#ifndef TFX_CLIENT_OUTPUTFILE_H
#define TFX_CLIENT_OUTPUTFILE_H

#include <string>
#include <sys/types.h>

class OutputFile {
  public:
    OutputFile() = default;
    /* Removes the temporary file when nothing was committed. */
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    /* Creates path's temporary file (mkstemp, mode 0600) in path's
     * directory. False with *error naming path and why when path is a
     * directory or its directory takes no new file. */
    bool Prepare(const std::string &path, std::string *error);

    /* Whether both name one directory entry, however spelt: the same
     * directory (device and inode) and the same last component. */
    bool SamePlace(const OutputFile &other) const;

    /* Writes text to the temporary file, with the mode a new file gets
     * under the umask, and renames it to the path. False with *error set
     * when it cannot; the temporary file is then removed. */
    bool Commit(const std::string &text, std::string *error);

    const std::string &Path() const { return path_; }

  private:
    void Discard();

    std::string path_;
    std::string temporary_; /* empty once committed or discarded */
    int fd_ = -1;
    dev_t dirDevice_ = 0;
    ino_t dirInode_ = 0;
    std::string name_; /* the last component of path_ */
};

#endif
