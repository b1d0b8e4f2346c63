# Sourced by the scripts that start Wine. wine_for_arch ARCH (i686 or x86_64)
# sets WINE to the loader of that architecture and exports WINEARCH for the
# prefix. For x86_64 the package's 64-bit loader is called directly: Debian's
# `wine` wrapper picks the 32-bit loader whenever wine32 is installed, even on
# a kernel that cannot run it.
wine_for_arch() {
    case $1 in
        i686)
            WINE=wine
            export WINEARCH=win32 ;;
        x86_64)
            WINE=/usr/lib/wine/wine64
            export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 ;;
        *)
            echo "wine_for_arch: unknown architecture '$1'" >&2
            return 2 ;;
    esac
}
