# The process-wide GDI object cache and shared palette.
varlo_panel_module(gdicache
    PURE palettelist.cpp fontspec.cpp
    WIN gdicache.cpp
    LIBS shell gdi32 user32)
