# Embedding of the board images: filled in with the image tool.
