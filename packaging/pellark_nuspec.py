"""Manifest (.nuspec) writing and reading shared by make-appimage and pack-release."""

import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

NUSPEC_NS = "http://schemas.microsoft.com/packaging/2010/07/nuspec.xsd"


def manifest_xml(package_id, version, os_name="linux", arch="x64", title=None):
    fields = [("id", package_id), ("version", version), ("title", title or package_id),
              ("os", os_name), ("machineArchitecture", arch)]
    body = "".join(f"    <{name}>{escape(value)}</{name}>\n" for name, value in fields if value)
    return ('<?xml version="1.0" encoding="utf-8"?>\n'
            f'<package xmlns="{NUSPEC_NS}">\n  <metadata>\n{body}  </metadata>\n</package>\n')


def read_id_version(data):
    """The id and version of a manifest document (last text wins, any depth, local names)."""
    found = {}
    for element in ET.fromstring(data).iter():
        local = element.tag.rsplit("}", 1)[-1]
        if local in ("id", "version") and element.text and element.text.strip():
            found[local] = element.text
    if "id" not in found or "version" not in found:
        raise ValueError("manifest lacks id or version")
    return found["id"], found["version"]


DEFAULT_ID = "Pellark"


def add_manifest_arguments(parser, title="manifest (either --manifest or --version)"):
    group = parser.add_argument_group(title)
    group.add_argument("--manifest", help="an existing manifest (.nuspec XML) file")
    group.add_argument("--id", dest="package_id",
                       help=f"package id (default: {DEFAULT_ID})")
    group.add_argument("--version", help="SemVer 2.0.0 version, e.g. 1.1.0")
    group.add_argument("--os", default="linux", help="os value (default: linux)")
    group.add_argument("--arch", default="x64", help="machineArchitecture value (default: x64)")


def manifest_from_arguments(parser, args, fallback=None):
    """The manifest bytes and its (id, version), from --manifest, from the field options, or
    (when neither is given) from `fallback()`."""
    if args.manifest:
        if args.package_id or args.version:
            parser.error("give --manifest or --id/--version, not both")
        with open(args.manifest, "rb") as f:
            data = f.read()
    elif args.version:
        package_id = args.package_id or DEFAULT_ID
        data = manifest_xml(package_id, args.version, args.os, args.arch).encode("utf-8")
    elif fallback is not None and not args.package_id:
        data = fallback()
    else:
        parser.error("--version (or --manifest) is required")
    try:
        return data, read_id_version(data)
    except (ET.ParseError, ValueError) as e:
        parser.error(f"bad manifest: {e}")
