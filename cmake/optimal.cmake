# The optimal (shortest-stream) encoder.
