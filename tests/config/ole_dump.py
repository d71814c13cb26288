# Prints every stream of a compound file as "path<TAB>size<TAB>sha1", one per line.
import hashlib
import sys

import olefile

ole = olefile.OleFileIO(sys.argv[1])
for entry in sorted(ole.listdir(streams=True, storages=False)):
    data = ole.openstream(entry).read()
    print("/".join(entry), len(data), hashlib.sha1(data).hexdigest(), sep="\t")
