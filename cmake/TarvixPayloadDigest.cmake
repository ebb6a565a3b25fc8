# cmake -D payload=<payload.bin> -D output=<header> -P TarvixPayloadDigest.cmake
# Writes the payload's digest as a wide string constant for the launcher: the first 16
# hex digits of its SHA-256. A cached executable names its cache directory with it, so
# two builds of one version never share a directory.
file(SHA256 "${payload}" digest)
string(SUBSTRING "${digest}" 0 16 digest)
file(WRITE "${output}" "#define TARVIX_PAYLOAD_DIGEST L\"${digest}\"\n")
