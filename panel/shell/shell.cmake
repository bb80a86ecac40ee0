# Application shell services: resource strings and markers, version text, class registration,
# the about box and the settings store.
varlo_panel_module(shell
    PURE markers.cpp colortriple.cpp stringitems.cpp placement.cpp
    WIN resstr.cpp settings.cpp aboutbox.cpp
    LIBS user32 gdi32 advapi32 version)
