# Where the Debian archive is: read from the machine's own apt sources, so no
# archive host is ever written into the project. Sourced, never run on its own.
#
#   debian_archive_uri       prints the first URI of the main archive
#   debian_archive_keyring   prints its Signed-By keyring (may be empty)

debian_sources=/etc/apt/sources.list.d/debian.sources

# The first stanza of the deb822 file names the main archive.
debian_archive_uri() {
  local uri
  uri=$(sed -n 's/^URIs:[[:space:]]*//p' "$debian_sources" 2>/dev/null | head -n1 | awk '{ print $1 }')
  if [ -z "$uri" ]; then
    echo "no URIs entry in $debian_sources: cannot locate the Debian archive" >&2
    return 1
  fi
  echo "$uri"
}

debian_archive_keyring() {
  sed -n 's/^Signed-By:[[:space:]]*//p' "$debian_sources" 2>/dev/null | head -n1
}
